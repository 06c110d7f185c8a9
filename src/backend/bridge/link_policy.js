// Link policy: user-initiated navigations to http(s) pages of another origin
// open in the system browser (through the bridge) instead of in this view.
//
// The host splices the escaped namespace over the NAMESPACE marker below.
(function () {
  "use strict";

  var ns = "/*@NAMESPACE@*/";

  // The absolute URL text when `href` leaves the document's origin for an
  // http(s) page, else null. Documents with an opaque origin (data: and the
  // like, origin "null") treat every http(s) link as external.
  function isExternal(href) {
    var url;
    try {
      url = new URL(href, document.location.href);
    } catch (e) {
      return null;
    }
    if (url.protocol !== "http:" && url.protocol !== "https:") {
      return null;
    }
    if (url.origin === document.location.origin) {
      return null;
    }
    return url.href;
  }

  function openExternal(href) {
    var bridge = window[ns];
    if (!bridge) {
      return;
    }
    var answer = bridge.__wexlorOpenExternal(href);
    if (answer && typeof answer.catch === "function") {
      answer.catch(function () {});
    }
  }

  var navigation = window.navigation;
  if (navigation && typeof navigation.addEventListener === "function") {
    navigation.addEventListener("navigate", function (event) {
      try {
        if (!event.userInitiated || !event.cancelable) {
          return;
        }
        if (event.downloadRequest != null || event.hashChange) {
          return;
        }
        if (event.navigationType === "reload" || event.navigationType === "traverse") {
          return;
        }
        var external = isExternal(event.destination.url);
        if (external !== null) {
          event.preventDefault();
          openExternal(external);
        }
      } catch (e) {
        // Never let the policy break the page's own navigation.
      }
    });
    return;
  }

  // Without the Navigation API, catch plain left clicks on links instead.
  document.addEventListener(
    "click",
    function (event) {
      try {
        if (event.defaultPrevented || event.button !== 0) {
          return;
        }
        var node = event.target;
        while (
          node &&
          node.nodeType === 1 &&
          (!node.tagName || String(node.tagName).toUpperCase() !== "A")
        ) {
          node = node.parentNode;
        }
        if (!node || node.nodeType !== 1) {
          return;
        }
        // Links aimed at another browsing context are left alone.
        var target = node.getAttribute("target");
        if (target && target.toLowerCase() !== "_self") {
          return;
        }
        var href = node.href;
        if (!href) {
          return;
        }
        var external = isExternal(href);
        if (external !== null) {
          event.preventDefault();
          openExternal(external);
        }
      } catch (e) {
        // Never let the policy break the page's own clicks.
      }
    },
    true
  );
})();
