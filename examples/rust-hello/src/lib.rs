//! Hello, in Rust: the same runtime as examples/hello, built with cargo.
//!
//! It opens one window on index.html, served from app://hello/ out of the
//! C example's pages directory (or HELLO_PAGES_DIR), and answers:
//!
//!   Wexlor.greet(name)          -> a greeting string
//!   Wexlor.math.add(a, b)       -> a + b, or an error when either is not a number
//!   Wexlor.echo(bytes)          -> the same bytes back, as an ArrayBuffer
//!   Wexlor.clock.subscribe(fn)  -> fn("HH:MM:SS") now and then once a second
//!   Wexlor.clock.unsubscribe()  -> stops the clock for this window
//!
//! It also takes the Linux host's extension table: when a window's web
//! process ends it loads index.html again (at most every 10 seconds), and
//! it logs pages that stop answering.
//!
//! Threads: init runs on the host's main thread; start is the runtime
//! thread, which answers page calls and ticks the clock. The notify,
//! close-requested and page-load handlers run on the main thread and only
//! signal or log.

#![allow(non_camel_case_types, non_snake_case, non_upper_case_globals, dead_code)]

mod sys {
    #![allow(non_camel_case_types, non_snake_case, non_upper_case_globals, dead_code)]
    include!(concat!(env!("OUT_DIR"), "/bindings.rs"));
}

use std::collections::BTreeMap;
use std::ffi::{c_void, CStr, CString};
use std::io::Write;
use std::os::raw::{c_char, c_int};
use std::path::{Component, Path, PathBuf};
use std::ptr;
use std::sync::atomic::{AtomicPtr, Ordering};
use std::sync::{Condvar, Mutex};
use std::time::{Duration, Instant, SystemTime, UNIX_EPOCH};

use sys::*;

// ---------------------------------------------------------------------------
// The table, kept for the whole process.

static API: AtomicPtr<wexlor_backend_api> = AtomicPtr::new(ptr::null_mut());

fn api() -> &'static wexlor_backend_api {
    // Set once in init, before any other entry point or callback runs.
    unsafe { &*API.load(Ordering::Acquire) }
}

fn ctx() -> *mut c_void {
    api().context
}

// Calls a table entry; every entry is filled in by the host.
macro_rules! call {
    ($name:ident $(, $arg:expr)*) => {
        unsafe { (api().$name.expect(stringify!($name)))($($arg),*) }
    };
}

fn log(line: &str) {
    let mut out = std::io::stdout().lock();
    let _ = writeln!(out, "[hello] {line}");
    let _ = out.flush();
}

// ---------------------------------------------------------------------------
// Values: every handle we receive or make is ours to free; Value does that.

struct Value(*mut wexlor_value);

impl Drop for Value {
    fn drop(&mut self) {
        if !self.0.is_null() {
            call!(ValueFree, self.0);
        }
    }
}

impl Value {
    fn string(s: &str) -> Value {
        // Interior NULs cannot cross as C strings; they end the text.
        let c = CString::new(s.split('\0').next().unwrap_or("")).unwrap();
        Value(call!(ValueString, ctx(), c.as_ptr()))
    }
    fn double(d: f64) -> Value {
        Value(call!(ValueDouble, ctx(), d))
    }
    fn null() -> Value {
        Value(call!(ValueNull, ctx()))
    }
    fn list() -> Value {
        Value(call!(ValueList, ctx()))
    }
    fn binary(bytes: &[u8]) -> Value {
        Value(call!(ValueBinary, ctx(), bytes.as_ptr() as *const c_void, bytes.len()))
    }
    // Argument `index` of a call's list; a null handle when there are fewer.
    fn arg(&self, index: usize) -> Value {
        Value(call!(ValueListGet, self.0, index))
    }
    fn push(&self, item: &Value) {
        call!(ValueListAppend, self.0, item.0);
    }
    fn as_string(&self) -> Option<String> {
        if !call!(ValueIsString, self.0) {
            return None;
        }
        let mut length = 0usize;
        let chars = call!(ValueGetString, self.0, &mut length);
        if chars.is_null() {
            return None;
        }
        let bytes = unsafe { std::slice::from_raw_parts(chars as *const u8, length) };
        let text = String::from_utf8_lossy(bytes).into_owned();
        call!(ValueFreeString, chars);
        Some(text)
    }
    // Page numbers arrive as Int when they are whole and fit, else as Double.
    fn as_number(&self) -> Option<f64> {
        if call!(ValueIsInt, self.0) {
            Some(f64::from(call!(ValueGetInt, self.0)))
        } else if call!(ValueIsDouble, self.0) {
            Some(call!(ValueGetDouble, self.0))
        } else {
            None
        }
    }
    fn as_bytes(&self) -> Option<Vec<u8>> {
        if !call!(ValueIsBinary, self.0) {
            return None;
        }
        let mut size = 0usize;
        let data = call!(ValueGetBinary, self.0, &mut size);
        if data.is_null() || size == 0 {
            return Some(Vec::new());
        }
        Some(unsafe { std::slice::from_raw_parts(data, size) }.to_vec())
    }
    fn as_callback(&self) -> Option<u64> {
        if call!(ValueIsCallback, self.0) {
            Some(call!(ValueGetCallbackId, self.0))
        } else {
            None
        }
    }
}

// ---------------------------------------------------------------------------
// State shared by the runtime thread and the host's threads.

struct App {
    stopping: bool,
    calls_waiting: bool,
    // Clock callbacks, one per window that subscribed.
    clock: BTreeMap<u32, u64>,
    // When each window's page was last loaded again after its process ended.
    reloads: BTreeMap<u32, Instant>,
}

static APP: Mutex<App> = Mutex::new(App {
    stopping: false,
    calls_waiting: false,
    clock: BTreeMap::new(),
    reloads: BTreeMap::new(),
});
static WAKE: Condvar = Condvar::new();

fn app() -> std::sync::MutexGuard<'static, App> {
    APP.lock().unwrap_or_else(|poisoned| poisoned.into_inner())
}

// ---------------------------------------------------------------------------
// Pages, served through the "app" scheme as app://hello/<file>.

const ORIGIN: &str = "app://hello/";

fn pages_directory() -> PathBuf {
    match std::env::var_os("HELLO_PAGES_DIR") {
        Some(dir) if !dir.is_empty() => PathBuf::from(dir),
        _ => Path::new(env!("CARGO_MANIFEST_DIR")).join("../hello/pages"),
    }
}

fn content_type(file: &Path) -> &'static str {
    match file.extension().and_then(|e| e.to_str()) {
        Some("html") => "text/html; charset=utf-8",
        Some("css") => "text/css; charset=utf-8",
        Some("js") => "text/javascript; charset=utf-8",
        Some("svg") => "image/svg+xml",
        Some("png") => "image/png",
        Some("json") => "application/json",
        _ => "application/octet-stream",
    }
}

// The file an app://hello/ URL names: plain names below the pages
// directory, never "..".
fn page_file(url: &str) -> Option<PathBuf> {
    let rest = url.strip_prefix(ORIGIN)?;
    let rest = &rest[..rest.find(['?', '#']).unwrap_or(rest.len())];
    let relative = Path::new(rest);
    if rest.is_empty() || !relative.components().all(|c| matches!(c, Component::Normal(_))) {
        return None;
    }
    Some(pages_directory().join(relative))
}

// Answers one request with the page file it names, or 404. Main thread; the
// files are small, so the answer is complete at once.
unsafe extern "C" fn on_scheme_request(
    _user_data: *mut c_void,
    window: u32,
    exchange: *mut wexlor_scheme_exchange,
    method: *const c_char,
    url: *const c_char,
    _headers: *const c_char,
    _headers_length: usize,
) {
    let method = CStr::from_ptr(method).to_string_lossy();
    let url = CStr::from_ptr(url).to_string_lossy();
    let mut status = 404;
    let mut body = Vec::new();
    let mut headers = Vec::new();
    if let (Some(file), "GET") = (page_file(&url), method.as_ref()) {
        if let Ok(bytes) = std::fs::read(&file) {
            status = 200;
            body = bytes;
            // Name and value, each ended by a NUL.
            headers.extend_from_slice(b"Content-Type\0");
            headers.extend_from_slice(content_type(&file).as_bytes());
            headers.push(0);
        }
    }
    log(&format!("window {window}: {method} {url} -> {status}"));
    call!(SchemeResponseBegin, ctx(), exchange, status, headers.as_ptr() as *const c_char, headers.len());
    call!(SchemeResponseWrite, ctx(), exchange, body.as_ptr(), body.len());
    call!(SchemeResponseFinish, ctx(), exchange);
}

// ---------------------------------------------------------------------------
// The clock.

fn current_time() -> String {
    // UTC: the standard library has no time zones, and this crate has no
    // dependencies.
    let seconds = SystemTime::now().duration_since(UNIX_EPOCH).map(|d| d.as_secs()).unwrap_or(0);
    let day = seconds % 86_400;
    format!("{:02}:{:02}:{:02}", day / 3600, day % 3600 / 60, day % 60)
}

fn send_time(callback: u64, time: &str) {
    let args = Value::list();
    args.push(&Value::string(time));
    call!(InvokeJsCallback, ctx(), callback, args.0);
}

fn next_whole_second() -> Instant {
    let into = SystemTime::now().duration_since(UNIX_EPOCH).map(|d| d.subsec_nanos()).unwrap_or(0);
    Instant::now() + Duration::from_nanos(1_000_000_000 - u64::from(into))
}

fn unsubscribe(window: u32) {
    let released = app().clock.remove(&window);
    if let Some(callback) = released {
        call!(ReleaseJsCallback, ctx(), callback);
    }
}

// ---------------------------------------------------------------------------
// Page calls: a method returns its result or an error message, which
// rejects the page's promise.

type Method = fn(u32, &Value) -> Result<Value, String>;

fn greet(_: u32, args: &Value) -> Result<Value, String> {
    let name = args.arg(0).as_string().ok_or("greet expects a name")?;
    let who = if name.is_empty() { "stranger" } else { &name };
    Ok(Value::string(&format!("Hello, {who}! Greetings from the runtime.")))
}

fn add(_: u32, args: &Value) -> Result<Value, String> {
    let (a, b) = match (args.arg(0).as_number(), args.arg(1).as_number()) {
        (Some(a), Some(b)) => (a, b),
        _ => return Err("math.add expects two numbers".into()),
    };
    let sum = a + b;
    if !sum.is_finite() {
        return Err("the sum is too large".into());
    }
    Ok(Value::double(sum))
}

fn echo(_: u32, args: &Value) -> Result<Value, String> {
    let bytes = args.arg(0).as_bytes().ok_or("echo expects an ArrayBuffer or a Uint8Array")?;
    Ok(Value::binary(&bytes))
}

fn subscribe_clock(window: u32, args: &Value) -> Result<Value, String> {
    let callback = args.arg(0).as_callback().ok_or("clock.subscribe expects a function")?;
    unsubscribe(window); // a second call replaces the first
    app().clock.insert(window, callback);
    send_time(callback, &current_time()); // the page need not wait for the next tick
    WAKE.notify_all();
    log(&format!("window {window}: clock subscribed"));
    Ok(Value::null())
}

fn unsubscribe_clock(window: u32, _: &Value) -> Result<Value, String> {
    unsubscribe(window);
    log(&format!("window {window}: clock unsubscribed"));
    Ok(Value::null())
}

const METHODS: &[(&str, Method)] = &[
    ("greet", greet),
    ("math.add", add),
    ("echo", echo),
    ("clock.subscribe", subscribe_clock),
    ("clock.unsubscribe", unsubscribe_clock),
];

// Runs on the runtime thread, inside PollJsCalls.
unsafe extern "C" fn on_js_call(
    _user_data: *mut c_void,
    window: u32,
    call_id: u64,
    method: *const c_char,
    args: *mut wexlor_value,
) {
    let args = Value(args); // ours to free
    let name = CStr::from_ptr(method).to_string_lossy();
    log(&format!("window {window}: call #{call_id} {name}"));
    let outcome = match METHODS.iter().find(|(m, _)| *m == name) {
        Some((_, method)) => method(window, &args),
        None => Err(format!("unknown method: {name}")),
    };
    let (result, error) = match outcome {
        Ok(result) => (result, Value(ptr::null_mut())),
        Err(message) => {
            log(&format!("window {window}: call #{call_id} failed: {message}"));
            (Value(ptr::null_mut()), Value::string(&message))
        }
    };
    call!(JsCallRespond, ctx(), call_id, result.0, error.0);
}

// ---------------------------------------------------------------------------
// Window events, on the host's main thread: these must return quickly.

unsafe extern "C" fn on_calls_waiting(_user_data: *mut c_void) {
    app().calls_waiting = true;
    WAKE.notify_all();
}

unsafe extern "C" fn on_close_requested(_user_data: *mut c_void, window: u32) {
    log(&format!("window {window}: close requested; closing it"));
    call!(CloseWindow, ctx(), window);
    app().clock.remove(&window); // the host forgets the page's callbacks itself
}

unsafe extern "C" fn on_page_loaded(_user_data: *mut c_void, window: u32) {
    log(&format!("window {window}: page loaded"));
}

// A window's page lost its web process or stopped answering (main thread).
unsafe extern "C" fn on_web_process(_user_data: *mut c_void, window: u32, reason: i32) {
    if reason == WEXLOR_WEB_PROCESS_UNRESPONSIVE {
        log(&format!("window {window}: the page is not answering"));
        return;
    }
    // The page's calls and clock callback died with it.
    let recently = {
        let mut state = app();
        state.clock.remove(&window);
        let now = Instant::now();
        let last = state.reloads.insert(window, now);
        last.is_some_and(|t| now.duration_since(t) < Duration::from_secs(10))
    };
    if recently {
        log(&format!("window {window}: web process ended again (reason {reason}); leaving it"));
        return;
    }
    log(&format!("window {window}: web process ended (reason {reason}); loading the page again"));
    let url = CString::new(format!("{ORIGIN}index.html")).unwrap();
    call!(Navigate, ctx(), window, url.as_ptr());
}

// ---------------------------------------------------------------------------
// The Linux host's extension table. The header's WEXLOR_HOST_EXTENSION_HAS is
// a macro that bindgen cannot translate: the same size check, in Rust.

fn has_web_process_handler(ext: &wexlor_host_extensions) -> bool {
    let end = std::mem::offset_of!(wexlor_host_extensions, SetWebProcessHandler)
        + std::mem::size_of::<Option<unsafe extern "C" fn()>>();
    ext.size >= end
}

/// Called by the host, when it has the table, on its main thread right
/// before `wexlor_runtime_init`.
///
/// # Safety
/// `ext` is null or points at the host's extension table, valid for the process.
#[no_mangle]
pub unsafe extern "C" fn wexlor_runtime_extensions(ext: *const wexlor_host_extensions) {
    let Some(ext) = ext.as_ref() else { return };
    if !has_web_process_handler(ext) {
        return;
    }
    if let Some(set) = ext.SetWebProcessHandler {
        set(ext.context, Some(on_web_process), ptr::null_mut());
        log("web-process handler registered");
    }
}

// ---------------------------------------------------------------------------
// Entry points.

/// Called by the host once, on its main thread.
///
/// # Safety
/// `table` is null or points at the host's table, valid for the process.
#[no_mangle]
pub unsafe extern "C" fn wexlor_runtime_init(table: *const wexlor_backend_api) -> c_int {
    // A host of another interface version may lay the table out differently.
    let expected = WEXLOR_BACKEND_API_VERSION as u32;
    if table.is_null() || (*table).version != expected {
        let found = if table.is_null() { 0 } else { (*table).version };
        log(&format!("unsupported host: backend API version {found}, need {expected}"));
        return 1;
    }
    API.store(table as *mut wexlor_backend_api, Ordering::Release);
    {
        let mut state = app();
        state.stopping = false;
        state.calls_waiting = false;
        state.clock.clear();
        state.reloads.clear();
    }

    // Handlers first, so no event of the new window is missed.
    let c = ctx();
    let scheme = CString::new("app").unwrap();
    call!(SetJsCallNotify, c, Some(on_calls_waiting), ptr::null_mut());
    call!(SetJsCallHandler, c, Some(on_js_call), ptr::null_mut());
    call!(SetCloseRequestedHandler, c, Some(on_close_requested), ptr::null_mut());
    call!(SetPageLoadHandler, c, Some(on_page_loaded), ptr::null_mut());
    call!(RegisterSchemeHandler, c, scheme.as_ptr(), Some(on_scheme_request), None, ptr::null_mut());

    let url = format!("{ORIGIN}index.html");
    let window = call!(CreateWindow, c);
    let title = CString::new("Hello from Wexlor (Rust)").unwrap();
    let url_c = CString::new(url.clone()).unwrap();
    call!(SetTitle, c, window, title.as_ptr());
    call!(Navigate, c, window, url_c.as_ptr());
    log(&format!("window {window}: created, opening {url}"));
    0
}

#[no_mangle]
pub extern "C" fn wexlor_runtime_start() -> c_int {
    if API.load(Ordering::Acquire).is_null() {
        return 1; // init failed or never ran
    }
    log("runtime thread started");
    let mut next_tick = next_whole_second();
    let mut state = app();
    while !state.stopping {
        if !state.calls_waiting {
            state = if state.clock.is_empty() {
                next_tick = next_whole_second();
                WAKE.wait(state).unwrap_or_else(|p| p.into_inner())
            } else {
                let wait = next_tick.saturating_duration_since(Instant::now());
                WAKE.wait_timeout(state, wait).unwrap_or_else(|p| p.into_inner()).0
            };
        }
        if state.stopping {
            break;
        }
        let poll = std::mem::replace(&mut state.calls_waiting, false);
        let subscribers: Vec<u64> = state.clock.values().copied().collect();
        drop(state);

        if poll {
            call!(PollJsCalls, ctx());
        }
        if !subscribers.is_empty() && Instant::now() >= next_tick {
            let time = current_time();
            for callback in subscribers {
                send_time(callback, &time);
            }
            next_tick = next_whole_second();
        }
        state = app();
    }
    let subscribers = std::mem::take(&mut state.clock);
    drop(state);
    for callback in subscribers.values() {
        call!(ReleaseJsCallback, ctx(), *callback);
    }
    log("runtime thread finished");
    0
}

#[no_mangle]
pub extern "C" fn wexlor_runtime_shutdown() {
    log("shutdown requested");
    app().stopping = true;
    WAKE.notify_all();
}

#[cfg(test)]
mod tests {
    use super::page_file;

    #[test]
    fn only_plain_names_below_the_pages_are_served() {
        assert!(page_file("app://hello/index.html?x=1").unwrap().ends_with("index.html"));
        assert!(page_file("app://hello/../secret").is_none());
        assert!(page_file("app://hello//etc/passwd").is_none());
        assert!(page_file("app://hello/").is_none());
        assert!(page_file("app://other/index.html").is_none());
    }
}
