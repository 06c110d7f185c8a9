"""Drives the host through WebKitWebDriver with Selenium.

Usage: webdriver_hello.py hello HOST RUNTIME SCREENSHOT NAME VERSION
       webdriver_hello.py windows DRIVER_URL NAME

"hello": a driver started by Selenium launches HOST (with --automation and
--runtime RUNTIME, the hello example); NAME and VERSION are the
application's, which the session must report and match. "windows": a driver
already attached to a running host whose runtime shows two windows.

Prints one "ok ..." line per step and exits 0 when every step passed; on a
failure the exception ends the script with status 1.
"""

import sys

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as EC
from selenium.webdriver.support.ui import WebDriverWait
from selenium.webdriver.webkitgtk.options import Options


def step(text):
    print("ok", text, flush=True)


# Windows are the runtime's to open: a client's new window is refused.
def refuse_new_window(driver, handles):
    try:
        driver.switch_to.new_window("window")
    except WebDriverException:
        assert driver.window_handles == handles, driver.window_handles
        return
    raise AssertionError("a new window was opened: %s" % driver.window_handles)


def hello(host, runtime, screenshot, name, version):
    options = Options()
    options.binary_location = host
    for argument in ("--automation", "--runtime", runtime):
        options.add_argument(argument)
    # Selenium's default browserName is another browser's; the session
    # reports the application's name and version.
    options.set_capability("browserName", name)
    options.set_capability("browserVersion", version)
    driver = webdriver.WebKitGTK(options=options)
    try:
        caps = driver.capabilities
        assert caps["browserName"] == name, caps
        assert caps["browserVersion"] == version, caps
        step("session " + caps["browserName"] + " " + caps["browserVersion"])

        # The session's first browsing context is the runtime's window.
        handles = driver.window_handles
        assert len(handles) == 1, handles
        wait = WebDriverWait(driver, 20)
        heading = wait.until(EC.presence_of_element_located((By.TAG_NAME, "h1")))
        assert heading.text == "Hello from Wexlor", heading.text
        step("heading " + heading.text)

        # Typing and clicking reach the runtime as a person's would.
        field = driver.find_element(By.ID, "greet-name")
        field.clear()
        field.send_keys("Selenium")
        driver.find_element(By.CSS_SELECTOR, "#greet-form button").click()
        greeting = "Hello, Selenium! Greetings from the runtime."
        wait.until(EC.text_to_be_present_in_element((By.ID, "greet-result"), greeting))
        step("greeting " + driver.find_element(By.ID, "greet-result").text)

        # Scripts see the bridge, and its calls are answered.
        answer = driver.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "Wexlor.math.add(40, 2).then(done, (e) => done('error ' + e.message));"
        )
        assert answer == 42, answer
        step("script " + str(answer))

        # The session carries on in the runtime's window.
        refuse_new_window(driver, handles)
        driver.switch_to.window(handles[0])
        assert driver.find_element(By.ID, "greet-result").text == greeting
        step("new window refused")

        png = driver.get_screenshot_as_png()
        with open(screenshot, "wb") as out:
            out.write(png)
        step("screenshot %d bytes" % len(png))
    finally:
        driver.quit()
    step("quit")


def windows(url, name):
    options = Options()
    options.set_capability("browserName", name)
    driver = webdriver.Remote(command_executor=url, options=options)
    try:
        handles = driver.window_handles
        assert len(handles) == 2, handles
        headings = {}
        for handle in handles:
            driver.switch_to.window(handle)
            headings[driver.find_element(By.TAG_NAME, "h1").text] = handle
            assert driver.execute_script("return typeof Wexlor") != "undefined"
        step("windows " + " ".join(sorted(headings)))
        refuse_new_window(driver, handles)
        step("new window refused")
        # Closing a window asks its runtime, which here keeps it open.
        driver.switch_to.window(headings["second"])
        driver.close()
        step("closed second")
    finally:
        driver.quit()
    step("quit")


if __name__ == "__main__":
    {"hello": hello, "windows": windows}[sys.argv[1]](*sys.argv[2:])
