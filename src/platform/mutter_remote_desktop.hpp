#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/geometry_types.hpp"
#include "platform/mutter_layout.hpp"

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GVariant GVariant;

namespace nimbrel {

class MutterError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Whether the session bus has GNOME's remote-desktop service (mutter on Wayland). Blocks on the
// bus for at most a second or two; empty `problem` when it has.
bool mutterRemoteDesktopAvailable(std::string& problem);

// One remote-desktop session of GNOME's compositor on the session bus: a screen-cast stream for
// every monitor (cursor as metadata), the virtual pointer and keyboard, and the clipboard.
// The calling user's own session trusts its bus peers, so nothing asks for permission.
//
// The session starts on first use (a failed start is tried again at the next use). When the
// desktop ends it (the user stopped sharing, the compositor restarted or went away), the end
// listener is told and every later use fails saying why: one object serves one session, and a
// new connection makes a new object. Ending the object closes its bus connection, which ends
// the session without waiting for anything.
//
// Every member blocks on the bus (never call them on the io thread) and may be called from any
// thread; signals arrive on a thread of its own.
class MutterRemoteDesktop : public std::enable_shared_from_this<MutterRemoteDesktop> {
  struct Private {};

 public:
  struct Stream {
    MutterOutput output;
    std::string path;       // the stream object, which pointer positions refer to
    std::uint32_t node = 0;  // its PipeWire node
  };

  // `busAddress` empty: the session bus of the environment. Nothing is asked of the bus yet.
  static std::shared_ptr<MutterRemoteDesktop> create(std::string busAddress = {});
  MutterRemoteDesktop(Private, std::string busAddress);
  ~MutterRemoteDesktop();
  MutterRemoteDesktop(const MutterRemoteDesktop&) = delete;
  MutterRemoteDesktop& operator=(const MutterRemoteDesktop&) = delete;

  // Starts a session unless one is running. Throws MutterError saying why it could not, or why
  // the session ended.
  void ensureStarted();
  // The running session's streams, one per monitor (starting one if needed).
  std::vector<Stream> streams();
  // Counts sessions started: a stream's node is valid while this is unchanged and running.
  std::uint64_t generation() const;
  bool running() const;

  // Called (from the signal thread) whenever a session ends; replaces the previous listener.
  void setEndListener(std::function<void(const std::string& why)> listener);

  // Input. The pointer goes to a global position (points), in the stream of the monitor there.
  void movePointer(Point global);
  void pointerButton(std::uint32_t evdevButton, bool down);
  // axis 0 vertical, 1 horizontal; positive steps go down or right.
  void scrollDiscrete(std::uint32_t axis, int steps);
  void keysym(std::uint32_t keysym, bool down);
  void keycode(std::uint32_t evdevKeycode, bool down);
  bool capsLock();

  // Where the pointer is: where it was last sent, or where a stream's cursor says it is.
  Point pointer() const;
  void notePointer(Point global);  // from the capture's cursor metadata
  void setPointerListener(std::function<void(Point)> listener);

  // The clipboard: the desktop's text (empty when there is none, a failure logged), and
  // offering ours to the desktop's applications (throws MutterError when it cannot).
  std::string readClipboard();
  void offerClipboard(const std::string& text);

 private:
  struct Session {
    std::string remoteDesktop;  // object paths
    std::string screenCast;
    std::vector<Stream> streams;
  };
  struct Subscription;

  void subscribe();
  void start();
  GVariant* call(const std::string& path, const char* interface, const char* method,
                 GVariant* parameters, const char* replyType);
  void callInput(const char* method, GVariant* parameters);
  void onSignal(const std::string& path, const std::string& interface, const std::string& member,
                GVariant* parameters);
  void end(const std::string& why);
  void answerTransfer(std::uint32_t serial);
  std::string sessionPath() const;

  const std::string busAddress_;
  GDBusConnection* connection_ = nullptr;
  std::vector<unsigned> subscriptions_;
  void* loop_ = nullptr;  // the signal thread's GMainLoop

  std::mutex startLock_;  // one start at a time; held across the bus calls of a start
  mutable std::mutex lock_;  // guards the fields below, never held across a bus call
  std::condition_variable nodesArrived_;
  std::optional<Session> session_;
  std::uint64_t generation_ = 0;
  std::optional<std::string> ended_;  // why the session ended
  std::function<void(const std::string&)> endListener_;
  std::function<void(Point)> pointerListener_;
  Point pointer_;
  std::optional<std::string> offered_;  // the text we offer the desktop's applications
};

}  // namespace nimbrel
