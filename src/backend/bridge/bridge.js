// Page side of the bridge between the page and the application.
//
// Every property path read from the namespace object can be called; a call
// becomes a message to the host, and the host settles it later through
// window.__wexlorRespond. Functions passed as arguments stay in the page and
// are run by the host through window.__wexlorInvokeCallback.
//
// The host splices text into this file when it builds the init script: the
// send statement replaces the SEND marker comment, the namespace (as an
// escaped string-literal body) replaces the NAMESPACE marker inside its
// quotes, the window's key replaces the KEY marker inside its quotes, and the
// rule saying which documents are the application's own replaces the TRUST
// marker. Each marker appears exactly once; the build checks this.
//
// Only this document's bridge knows the window's key, and it sends the key
// with every message; the host drops messages without it. The key lives in
// this function's scope only, and the functions that use it are captured
// before any page script runs, so neither page scripts nor other frames
// (which never get this script) can read or intercept it.
(function () {
  "use strict";

  var trust = /*@TRUST@*/;
  var own =
    trust.schemes.indexOf(location.protocol) >= 0 || trust.origins.indexOf(location.origin) >= 0;
  var key = own ? "/*@KEY@*/" : "";
  var handler = window.webkit.messageHandlers.wexlor;
  var postMessage = handler.postMessage;
  var apply = Reflect.apply;
  var stringify = JSON.stringify;
  var quote = function (text) { return apply(stringify, JSON, [text]); };
  // Texts the host cannot take as a method name: NUL, or a surrogate half
  // that is not part of a pair.
  var badName = /\0|[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?:^|[^\uD800-\uDBFF])[\uDC00-\uDFFF]/;
  var testName = RegExp.prototype.test;
  // Larger messages are refused here rather than risk the page or the host.
  var MAX_MESSAGE = 128 * 1024 * 1024;

  // callId -> { resolve, reject } of the calls still waiting for an answer.
  var pendingCalls = new Map();
  // Shared by calls and callbacks, so every identifier is unique in the page.
  var nextCallId = 1;

  // Properties that must not look like calls: with these undefined the
  // object is not promise-like, so `await` or returning it from an async
  // function does not send a call named "then".
  var HIDDEN = { then: true, catch: true, finally: true, constructor: true };

  var nativeBase64 =
    typeof Uint8Array.prototype.toBase64 === "function" &&
    typeof Uint8Array.fromBase64 === "function";

  function bytesToBase64(bytes) {
    if (nativeBase64) {
      return bytes.toBase64();
    }
    // btoa wants a byte string; build it in chunks to avoid one
    // concatenation per byte and stay under argument-count limits.
    var chunks = [];
    for (var i = 0; i < bytes.length; i += 0x8000) {
      chunks.push(String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000)));
    }
    return btoa(chunks.join(""));
  }

  function base64ToArrayBuffer(text) {
    if (nativeBase64) {
      return Uint8Array.fromBase64(text).buffer;
    }
    var binary = atob(text);
    var bytes = new Uint8Array(binary.length);
    for (var i = 0; i < binary.length; i++) {
      bytes[i] = binary.charCodeAt(i);
    }
    return bytes.buffer;
  }

  function callbackRegistry() {
    if (!window.__wexlorCallbacks) {
      window.__wexlorCallbacks = Object.create(null);
    }
    return window.__wexlorCallbacks;
  }

  // Top-level arguments only: functions become callback markers, byte
  // buffers become binary markers, everything else is sent as it is.
  function processArgument(arg, callbackIds) {
    if (typeof arg === "function") {
      var id = nextCallId++;
      callbackRegistry()[id] = arg;
      callbackIds.push(id);
      return { "__callback__": String(id) };
    }
    if (arg instanceof ArrayBuffer) {
      return { "__binary__": bytesToBase64(new Uint8Array(arg)) };
    }
    if (arg instanceof Uint8Array) {
      return { "__binary__": bytesToBase64(arg) };
    }
    return arg;
  }

  // Hands one call to the host as JSON text: the key, the call id, the
  // method and the arguments. Throws, with the reason, when it cannot.
  function send(callId, method, args) {
    if (!own) {
      // Tell the host, so it can say why, then fail the call.
      apply(postMessage, handler, [apply(stringify, JSON, [{ origin: String(location.origin) }])]);
      throw new Error(String(location.origin) + " is not one of the application's pages; " +
                      "its calls do not reach the application");
    }
    if (apply(testName, badName, [method])) {
      throw new TypeError("The method name " + quote(method) + " is not valid text");
    }
    var text;
    try {
      text = apply(stringify, JSON, [args]);
    } catch (e) {
      throw new TypeError("The arguments cannot be sent: " + (e && e.message));
    }
    if (text.length > MAX_MESSAGE) {
      throw new RangeError("The arguments cannot be sent: they are too large");
    }
    apply(postMessage, handler, [
      '{"key":"' + key + '","callId":' + callId + ',"method":' + quote(method) + ',"args":' + text + "}",
    ]);
  }

  function createWexlorProxy(path) {
    path = path || [];
    return new Proxy(function () {}, {
      get: function (target, prop) {
        // A call cannot be named by a symbol (Symbol.toStringTag,
        // Symbol.iterator, Symbol.toPrimitive, ...).
        if (typeof prop === "symbol" || HIDDEN[prop] === true) {
          return undefined;
        }
        return createWexlorProxy(path.concat([prop]));
      },
      apply: function (target, thisArg, args) {
        return new Promise(function (resolve, reject) {
          var callId = nextCallId++;
          pendingCalls.set(callId, { resolve: resolve, reject: reject });
          var callbackIds = [];
          try {
            var processedArgs = [];
            for (var i = 0; i < args.length; i++) {
              processedArgs.push(processArgument(args[i], callbackIds));
            }
            /*@SEND@*/
          } catch (e) {
            // The host never saw this call: forget it and what it registered,
            // then reject with the error.
            pendingCalls.delete(callId);
            for (var j = 0; j < callbackIds.length; j++) {
              delete callbackRegistry()[callbackIds[j]];
            }
            throw e;
          }
        });
      },
    });
  }

  // Binary markers in an answer become ArrayBuffers, at any depth. Every
  // enumerable key is copied, inherited ones included.
  function convertBinary(value) {
    if (value === null || typeof value !== "object") {
      return value;
    }
    // The host writes binary values as {"__binary__": "<Base64>"}; an empty
    // buffer has empty text and is still a buffer.
    var marker = value["__binary__"];
    if (marker || marker === "") {
      return base64ToArrayBuffer(String(marker));
    }
    if (Array.isArray(value)) {
      return value.map(convertBinary);
    }
    var out = {};
    for (var key in value) {
      var converted = convertBinary(value[key]);
      if (key === "__proto__") {
        // Plain assignment would replace the prototype instead.
        Object.defineProperty(out, key, {
          value: converted, enumerable: true, writable: true, configurable: true,
        });
      } else {
        out[key] = converted;
      }
    }
    return out;
  }

  window["/*@NAMESPACE@*/"] = createWexlorProxy();

  window.__wexlorRespond = function (callId, result, error) {
    var pending = pendingCalls.get(callId);
    if (!pending) {
      return;
    }
    pendingCalls.delete(callId);
    if (error) {
      pending.reject(new Error(error));
      return;
    }
    var value;
    try {
      value = convertBinary(result);
    } catch (e) {
      // A malformed answer must still settle the call.
      pending.reject(e);
      return;
    }
    pending.resolve(value);
  };

  window.__wexlorInvokeCallback = function (callbackId, args) {
    var callbacks = window.__wexlorCallbacks;
    if (!callbacks || typeof callbacks[callbackId] !== "function") {
      return;
    }
    callbacks[callbackId].apply(null, Array.isArray(args) ? args : []);
  };

  window.__wexlorReleaseCallback = function (callbackId) {
    if (window.__wexlorCallbacks) {
      delete window.__wexlorCallbacks[callbackId];
    }
  };
})();
