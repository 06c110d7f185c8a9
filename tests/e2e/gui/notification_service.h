// A fake desktop notification service for the GUI tests: python3-dbusmock's
// notification daemon template on the test session's bus, driven and
// inspected from the test through a connection of its own.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "harness.h"

struct _GDBusConnection;

namespace gui {

// One Notify call as the service received it. Hint values are in GVariant
// text form.
struct NotifyCall {
  std::string appName;
  uint32_t replacesId = 0;
  std::string appIcon;
  std::string summary;
  std::string body;
  std::vector<std::string> actions;
  std::map<std::string, std::string> hints;
  int32_t timeout = 0;
};

class FakeNotificationService {
 public:
  explicit FakeNotificationService(XSession& session);
  ~FakeNotificationService();

  // Starts the service with these capabilities (space-separated) and waits
  // until it owns its name. The service numbers notifications from 1.
  bool Start(const std::string& capabilities);
  // Ends the service and waits until its name is gone.
  void Stop();

  // Waits until the service has received `count` calls of `method`.
  bool WaitForCalls(const std::string& method, size_t count, Duration timeout = kTimeout);
  size_t CallCount(const std::string& method);
  std::vector<NotifyCall> NotifyCalls();
  // The uint32 arguments of every CloseNotification call.
  std::vector<uint32_t> CloseCalls();

  // Emits a signal of the notification interface from the service, e.g.
  // Emit("ActionInvoked", "(uint32 1, 'default')").
  bool Emit(const std::string& signal, const std::string& args);
  // Emits the same signal from the test's own connection, a sender that
  // does not own the service's name.
  bool EmitForeign(const std::string& signal, const std::string& args);
  // Whether any connection owns the service's name now.
  bool Owned();

 private:
  XSession& session_;
  TempDir dir_;
  Child process_;
  _GDBusConnection* bus_ = nullptr;
};

}  // namespace gui
