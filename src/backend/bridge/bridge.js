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
// marker, and the fewest bytes worth a POST replaces the BYTESMIN marker.
// Each marker appears exactly once; the build checks this.
//
// Calls whose arguments hold byte buffers (ArrayBuffer, typed arrays,
// DataView, at any depth) go to the host as POSTs to its own endpoint
// instead: the call's JSON text (buffers replaced by {"__buffer__": index}
// and their sizes listed), a NUL byte, then the raw bytes of every buffer,
// cut into parts of at most 8 MiB that each carry the key. Large binary
// answers come back the same way: the answer names a one-time URL that the
// bridge fetches as an ArrayBuffer.
// Calls reach the host in the order the page made them whichever way each
// goes, and answers and callbacks run in the order the host sent them.
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
  var MAX_BYTES = 256 * 1024 * 1024;
  // Below this many bytes a call's buffers travel as Base64 inside the
  // message: a POST costs more than the encoding of so few bytes.
  var BYTES_ROAD_MIN = /*@BYTESMIN@*/;
  var ENDPOINT = "app://wexlor-bridge.invalid/";
  var PART = 8 * 1024 * 1024 - 256;

  // Captured before any page script runs, so a page cannot intercept them.
  var fetchFn = typeof window.fetch === "function" ? window.fetch : null;
  var Uint8ArrayCtor = Uint8Array;
  var ArrayBufferCtor = ArrayBuffer;
  var isView = ArrayBuffer.isView;
  var encoder = typeof TextEncoder === "function" ? new TextEncoder() : null;
  var encode = encoder ? TextEncoder.prototype.encode : null;
  var then = Promise.prototype.then;
  var setBytes = Uint8Array.prototype.set;
  var subarray = Uint8Array.prototype.subarray;
  var sliceBuffer = ArrayBuffer.prototype.slice;
  var responseArrayBuffer = typeof Response === "function" ? Response.prototype.arrayBuffer : null;
  var responseText = typeof Response === "function" ? Response.prototype.text : null;
  var bytesRoad = !!(fetchFn && encode && responseArrayBuffer);

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

  // Top-level arguments only: functions become callback markers; byte
  // buffers at any depth are handled while the arguments are written.
  function processArgument(arg, callbackIds) {
    if (typeof arg === "function") {
      var id = nextCallId++;
      callbackRegistry()[id] = arg;
      callbackIds.push(id);
      return { "__callback__": String(id) };
    }
    return arg;
  }

  // The bytes of a buffer or view, as a Uint8Array over the same memory;
  // null for anything else.
  function bytesOf(value) {
    if (value instanceof ArrayBufferCtor) {
      return new Uint8ArrayCtor(value);
    }
    if (value !== null && typeof value === "object" && apply(isView, ArrayBufferCtor, [value])) {
      return new Uint8ArrayCtor(value.buffer, value.byteOffset, value.byteLength);
    }
    return null;
  }

  // Whether `value` holds a buffer or view within `depth` levels. Checked
  // first so that calls without bytes keep the engine's fast JSON writer,
  // which a replacer function turns off.
  function holdsBytes(value, depth) {
    if (value === null || typeof value !== "object" || depth > 64) {
      return false;
    }
    if (bytesOf(value) !== null) {
      return true;
    }
    if (Array.isArray(value)) {
      for (var i = 0; i < value.length; i++) {
        if (holdsBytes(value[i], depth + 1)) {
          return true;
        }
      }
      return false;
    }
    for (var name in value) {
      if (holdsBytes(value[name], depth + 1)) {
        return true;
      }
    }
    return false;
  }

  // Writes the arguments as JSON text. With `buffers`, every buffer becomes
  // {"__buffer__": index} and its bytes are collected; without, it becomes
  // {"__binary__": "<Base64>"}.
  function writeArgs(args, buffers) {
    return apply(stringify, JSON, [args, function (name, value) {
      var bytes = bytesOf(value);
      if (bytes === null) {
        return value;
      }
      if (!buffers) {
        return { "__binary__": bytesToBase64(bytes) };
      }
      buffers.push(bytes);
      return { "__buffer__": buffers.length - 1 };
    }]);
  }

  // Calls waiting for an earlier POST to reach the host, in page order:
  // { callId, message (text) or body (bytes), callbackIds }.
  var upQueue = [];
  var upBusy = false;

  function forget(callId, callbackIds, error) {
    var pending = pendingCalls.get(callId);
    pendingCalls.delete(callId);
    for (var j = 0; j < callbackIds.length; j++) {
      delete callbackRegistry()[callbackIds[j]];
    }
    if (pending) {
      pending.reject(error);
    }
  }

  // Sends what is queued until a POST is under way; the rest waits for it.
  function pumpUp() {
    while (!upBusy && upQueue.length > 0) {
      var item = upQueue.shift();
      if (item.message !== undefined) {
        apply(postMessage, handler, [item.message]);
        continue;
      }
      upBusy = true;
      postBytes(item);
    }
  }

  // Sends the body in parts of at most PART bytes, one POST at a time, so
  // the host never holds the engine's copies of a whole large body.
  function postBytes(item) {
    var done = function () {
      upBusy = false;
      pumpUp();
    };
    var fail = function (text) {
      forget(item.callId, item.callbackIds, new Error(text));
      done();
    };
    var offset = 0;
    var sendPart = function () {
      var end = Math.min(item.body.length, offset + PART);
      var last = end === item.body.length;
      var head = apply(encode, encoder, [
        '{"key":"' + key + '","upload":' + item.callId + ',"last":' + last + "}",
      ]);
      var part = new Uint8ArrayCtor(head.length + 1 + end - offset);
      apply(setBytes, part, [head, 0]);
      apply(setBytes, part, [apply(subarray, item.body, [offset, end]), head.length + 1]);
      offset = end;
      postPart(part, last ? done : sendPart, fail);
    };
    sendPart();
  }

  function postPart(part, next, fail) {
    var request;
    try {
      request = apply(fetchFn, window, [ENDPOINT + "call", { method: "POST", body: part }]);
    } catch (e) {
      fail("The call could not be sent: " + (e && e.message));
      return;
    }
    apply(then, request, [function (response) {
      if (response.status === 204) {
        next();
        return;
      }
      // The host said why it refused the call.
      var status = response.status;
      apply(then, apply(responseText, response, []), [function (text) {
        fail(text || "The call did not reach the application (status " + status + ")");
      }, function () {
        fail("The call did not reach the application (status " + status + ")");
      }]);
    }, function (e) {
      fail("The call could not be sent: " + (e && e.message));
    }]);
  }

  // The call as one body: the JSON text, a NUL byte, the buffers' bytes.
  function frame(head, buffers, total) {
    var text = apply(encode, encoder, [head]);
    var body = new Uint8ArrayCtor(text.length + 1 + total);
    apply(setBytes, body, [text, 0]);
    var at = text.length + 1;
    for (var i = 0; i < buffers.length; i++) {
      apply(setBytes, body, [buffers[i], at]);
      at += buffers[i].length;
    }
    return body;
  }

  // Hands one call to the host as JSON text: the key, the call id, the
  // method and the arguments, as a message or, with buffers, as a POST.
  // The bytes are copied now, so the page may change or detach its buffers
  // once the call is made. Throws, with the reason, when it cannot.
  function send(callId, method, args, callbackIds) {
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
    var buffers = bytesRoad ? [] : null;
    var total = 0;
    try {
      if (!holdsBytes(args, 0)) {
        buffers = null;
        text = apply(stringify, JSON, [args]);
      } else {
        text = writeArgs(args, buffers);
      }
      if (buffers) {
        for (var i = 0; i < buffers.length; i++) {
          total += buffers[i].length;
        }
        if (buffers.length > 0 && total < BYTES_ROAD_MIN) {
          buffers = null;
          text = writeArgs(args, null);
        }
      }
    } catch (e) {
      throw new TypeError("The arguments cannot be sent: " + (e && e.message));
    }
    if (text.length > MAX_MESSAGE || total > MAX_BYTES) {
      throw new RangeError("The arguments cannot be sent: they are too large");
    }
    var head = '{"key":"' + key + '","callId":' + callId + ',"method":' + quote(method) +
               ',"args":' + text;
    if (buffers && buffers.length > 0) {
      var sizes = [];
      for (var j = 0; j < buffers.length; j++) {
        sizes.push(buffers[j].length);
      }
      upQueue.push({
        callId: callId, body: frame(head + ',"sizes":[' + sizes.join(",") + "]}", buffers, total),
        callbackIds: callbackIds,
      });
    } else if (upBusy) {
      upQueue.push({ callId: callId, message: head + "}", callbackIds: callbackIds });
    } else {
      apply(postMessage, handler, [head + "}"]);
      return;
    }
    pumpUp();
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
            forget(callId, callbackIds, e);
          }
        });
      },
    });
  }

  // Binary markers in an answer become ArrayBuffers, at any depth. Every
  // enumerable key is copied, inherited ones included. `buffers` holds the
  // buffers fetched for the answer, if any.
  function convertBinary(value, buffers) {
    if (value === null || typeof value !== "object") {
      return value;
    }
    // The host writes binary values as {"__binary__": "<Base64>"}; an empty
    // buffer has empty text and is still a buffer.
    var marker = value["__binary__"];
    if (marker || marker === "") {
      return base64ToArrayBuffer(String(marker));
    }
    if (buffers && typeof value["__buffer__"] === "number" &&
        buffers[value["__buffer__"]] !== undefined) {
      return buffers[value["__buffer__"]];
    }
    if (Array.isArray(value)) {
      return value.map(function (item) { return convertBinary(item, buffers); });
    }
    var out = {};
    for (var key in value) {
      var converted = convertBinary(value[key], buffers);
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

  // Answers and callbacks from the host, in the order it sent them: while
  // one waits for its bytes, the later ones wait behind it.
  // { run(buffers, error), bytes: { url, sizes } or undefined }.
  var downQueue = [];
  var downBusy = false;

  function deliver(run, bytes) {
    if (!downBusy && !bytes) {
      run(null, null);
      return;
    }
    downQueue.push({ run: run, bytes: bytes });
    pumpDown();
  }

  function pumpDown() {
    while (!downBusy && downQueue.length > 0) {
      var item = downQueue.shift();
      if (!item.bytes) {
        item.run(null, null);
        continue;
      }
      downBusy = true;
      fetchBytes(item);
    }
  }

  // The whole body as one ArrayBuffer. Read piece by piece into a buffer of
  // the announced size: this engine hands a body over that way about twice
  // as fast as through arrayBuffer().
  function readWhole(response, sizes) {
    var body = response.body;
    if (!body || typeof body.getReader !== "function") {
      return apply(responseArrayBuffer, response, []);
    }
    var total = 0;
    for (var i = 0; i < sizes.length; i++) {
      total += Number(sizes[i]);
    }
    var whole = new Uint8ArrayCtor(total);
    var at = 0;
    var reader = body.getReader();
    return new Promise(function (resolve, reject) {
      var step = function () {
        apply(then, reader.read(), [function (piece) {
          if (piece.done) {
            resolve(at === total ? whole.buffer : new ArrayBufferCtor(at));
            return;
          }
          if (at + piece.value.length > total) {
            reject(new Error("more bytes than announced"));
            return;
          }
          apply(setBytes, whole, [piece.value, at]);
          at += piece.value.length;
          step();
        }, reject]);
      };
      step();
    });
  }

  // Fetches the bytes an answer names and cuts them into its buffers.
  function fetchBytes(item) {
    var finish = function (buffers, error) {
      downBusy = false;
      try {
        item.run(buffers, error);
      } finally {
        pumpDown();
      }
    };
    var fail = function (e) {
      finish(null, new Error("The answer's bytes could not be read: " + (e && e.message || e)));
    };
    try {
      var sizes = item.bytes.sizes;
      if (!bytesRoad) {
        throw new Error("this page cannot fetch them");
      }
      apply(then, apply(fetchFn, window, [String(item.bytes.url)]), [function (response) {
        if (response.status !== 200) {
          fail("status " + response.status);
          return;
        }
        apply(then, readWhole(response, sizes), [function (whole) {
          var buffers = [];
          var at = 0;
          for (var i = 0; i < sizes.length; i++) {
            var size = Number(sizes[i]);
            buffers.push(sizes.length === 1 && size === whole.byteLength
                             ? whole : apply(sliceBuffer, whole, [at, at + size]));
            at += size;
          }
          if (at !== whole.byteLength) {
            fail("got " + whole.byteLength + " bytes");
            return;
          }
          finish(buffers, null);
        }, fail]);
      }, fail]);
    } catch (e) {
      fail(e);
    }
  }

  window.__wexlorRespond = function (callId, result, error, bytes) {
    deliver(function (buffers, failure) {
      var pending = pendingCalls.get(callId);
      if (!pending) {
        return;
      }
      pendingCalls.delete(callId);
      if (error) {
        pending.reject(new Error(error));
        return;
      }
      if (failure) {
        pending.reject(failure);
        return;
      }
      var value;
      try {
        value = convertBinary(result, buffers);
      } catch (e) {
        // A malformed answer must still settle the call.
        pending.reject(e);
        return;
      }
      pending.resolve(value);
    }, error ? undefined : bytes);
  };

  window.__wexlorInvokeCallback = function (callbackId, args, bytes) {
    deliver(function (buffers, failure) {
      var callbacks = window.__wexlorCallbacks;
      if (failure || !callbacks || typeof callbacks[callbackId] !== "function") {
        return;
      }
      var values = Array.isArray(args) ? convertBinary(args, buffers) : [];
      callbacks[callbackId].apply(null, values);
    }, bytes);
  };

  window.__wexlorReleaseCallback = function (callbackId) {
    deliver(function () {
      if (window.__wexlorCallbacks) {
        delete window.__wexlorCallbacks[callbackId];
      }
    });
  };
})();
