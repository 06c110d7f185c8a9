// The hello page: each control calls the runtime through the Wexlor bridge
// and shows the answer; the status line reports the latest round trip.
"use strict";

const $ = (id) => document.getElementById(id);

function setStatus(text, kind) {
  $("status").className = "status " + (kind || "");
  $("status-text").textContent = text;
}

function show(element, content, kind) {
  element.replaceChildren(...[].concat(content));
  element.className = "result " + (kind || "");
}

// Awaits one call, times it, and reports it in the status line. Errors
// from the runtime reject the promise with an Error carrying its message.
async function roundTrip(label, output, call, render) {
  const started = performance.now();
  try {
    const value = await call();
    render(value);
    setStatus(`${label} answered in ${(performance.now() - started).toFixed(1)} ms`, "ok");
  } catch (error) {
    show(output, error.message, "error");
    setStatus(`${label} failed: ${error.message}`, "error");
  }
}

// Numbers go out as numbers; anything else as text, for the runtime to refuse.
function numberOrText(text) {
  const number = Number(text);
  return text.trim() !== "" && Number.isFinite(number) ? number : text;
}

function hexPreview(bytes, limit = 12) {
  const shown = Array.from(bytes.subarray(0, limit), (b) => b.toString(16).padStart(2, "0"));
  return shown.join(" ") + (bytes.length > limit ? " …" : "");
}

function sameBytes(a, b) {
  return a.length === b.length && a.every((value, i) => value === b[i]);
}

function line(text, className) {
  const element = document.createElement("span");
  element.textContent = text;
  if (className) element.className = className;
  return element;
}

function setUpGreeting() {
  const output = $("greet-result");
  $("greet-form").addEventListener("submit", (event) => {
    event.preventDefault();
    const name = $("greet-name").value.trim();
    roundTrip("greet", output, () => Wexlor.greet(name), (greeting) => show(output, greeting));
  });
}

function setUpArithmetic() {
  const output = $("add-result");
  $("add-form").addEventListener("submit", (event) => {
    event.preventDefault();
    const a = numberOrText($("add-a").value);
    const b = numberOrText($("add-b").value);
    roundTrip("math.add", output, () => Wexlor.math.add(a, b), (sum) =>
      show(output, `${a} + ${b} = ${sum}`),
    );
  });
}

function setUpEcho() {
  const output = $("echo-result");
  $("echo-form").addEventListener("submit", (event) => {
    event.preventDefault();
    const text = $("echo-text").value;
    const sent = text
      ? new TextEncoder().encode(text)
      : crypto.getRandomValues(new Uint8Array(24));
    roundTrip("echo", output, () => Wexlor.echo(sent), (buffer) => {
      if (!(buffer instanceof ArrayBuffer)) throw new Error("the answer is not an ArrayBuffer");
      const back = new Uint8Array(buffer);
      const verdict = sameBytes(sent, back) ? "came back intact ✓" : "came back changed ✗";
      show(output, [
        line(`${back.length} bytes ${verdict}`),
        document.createElement("br"),
        line(hexPreview(back), "hex"),
      ]);
    });
  });
}

function setUpClock() {
  const clock = $("clock");
  const toggle = $("clock-toggle");
  let subscribed = false;

  async function setSubscribed(on) {
    toggle.disabled = true;
    try {
      if (on) {
        await Wexlor.clock.subscribe((time) => {
          clock.textContent = time;
        });
      } else {
        await Wexlor.clock.unsubscribe();
        clock.textContent = "--:--:--";
      }
      subscribed = on;
      toggle.textContent = on ? "Unsubscribe" : "Subscribe";
      toggle.classList.toggle("secondary", on);
      setStatus(on ? "Connected: the runtime is ticking the clock" : "Clock stopped", "ok");
    } catch (error) {
      setStatus(`clock failed: ${error.message}`, "error");
    } finally {
      toggle.disabled = false;
    }
  }

  toggle.addEventListener("click", () => setSubscribed(!subscribed));
  setSubscribed(true);

  // The clock's own context menu, shown by the runtime.
  clock.addEventListener("contextmenu", (event) => {
    event.preventDefault();
    Wexlor.clock.menu(Math.round(event.clientX), Math.round(event.clientY));
  });
  // "Stop Clock" in that menu: the runtime has already unsubscribed.
  window.helloClockStopped = () => {
    subscribed = false;
    clock.textContent = "--:--:--";
    toggle.textContent = "Subscribe";
    toggle.classList.remove("secondary");
    setStatus("Clock stopped from its menu", "ok");
  };
}

// The engine's media player cannot open app:// URLs itself, so media the
// runtime serves is fetched whole and played from a blob: URL, which plays
// and seeks. (Large media: stream it into a MediaSource instead.)
async function playFromApp(element, url) {
  const response = await fetch(url);
  if (!response.ok) throw new Error(`${url}: ${response.status}`);
  if (element.src.startsWith("blob:")) URL.revokeObjectURL(element.src);
  element.src = URL.createObjectURL(await response.blob());
  return element.play();
}

function setUpSound() {
  const output = $("sound-result");
  $("sound-play").addEventListener("click", () =>
    playFromApp($("sound"), "tone.wav").then(
      () => show(output, "Playing app://hello/tone.wav through a blob."),
      (error) => show(output, error.message, "error"),
    ),
  );
}

function setUpNotification() {
  const output = $("notify-result");
  $("notify").addEventListener("click", () =>
    roundTrip("notify.show", output, () =>
      Wexlor.notify.show((id, event, button) => {
        show(output, `Notification ${id}: ${event}${button ? ` (${button})` : ""}`, "ok");
      }),
    (id) => show(output, `Notification ${id} posted`, "ok")),
  );
}
// File > Clear Results.
window.helloClearResults = () => {
  for (const id of ["greet-result", "add-result", "echo-result"]) show($(id), "", "muted");
  setStatus("Results cleared", "ok");
};

// A deep link (wexlor-hello://...) or a file the application was launched
// with, now or before this page loaded.
window.helloOpened = (url) => setStatus(`Opened ${url}`, "ok");

function main() {
  if (typeof window.Wexlor === "undefined") {
    setStatus("The Wexlor bridge is missing: open this page in the Wexlor host.", "error");
    document.querySelectorAll("button").forEach((button) => (button.disabled = true));
    return;
  }
  setUpGreeting();
  setUpArithmetic();
  setUpEcho();
  setUpClock();
  setUpNotification();
  Wexlor.links().then((urls) => urls.forEach(window.helloOpened), () => {});
  setUpSound();
}

main();
