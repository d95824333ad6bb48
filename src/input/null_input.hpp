#pragma once

#include <cstdio>
#include <functional>
#include <mutex>

#include "input/input_backend.hpp"

namespace nimbrel {

// The dry-run back-end: executes nothing, records every input call as one line and prints it as
// "input (" + record + ")" to standard output at once. Keeps the pointer position and the
// clipboard text so that the rest of the host behaves plausibly.
//
// Thread-safety: every member may be called from any thread.
class NullInput final : public InputBackend {
 public:
  using Printer = std::function<void(const std::string& line)>;

  // `print` receives each printed line without its line feed; by default standard output.
  explicit NullInput(std::string osName, Printer print = {});

  // Writes each line and its line feed to `file` in one call, so that lines other threads
  // write to the same file never land inside it.
  static Printer filePrinter(std::FILE* file);

  std::string osName() const override { return osName_; }
  Point position() override;
  void move(double x, double y) override;
  void button(MouseButton button, bool down) override;
  void scroll(double dx, double dy) override;
  void key(const std::string& name, const std::vector<std::string>& mods,
           const std::string& action) override;
  void text(const std::string& text) override;
  std::string getClip() override;
  void setClip(const std::string& text) override;
  std::optional<Rect> caret() override { return std::nullopt; }
  void releaseAll() override {}
  void setPointerListener(PointerListener listener) override;

  // Every record so far, oldest first.
  std::vector<std::string> calls() const;

 private:
  void record(std::string text);

  const std::string osName_;
  const Printer print_;
  mutable std::mutex lock_;  // guards the fields below
  Point position_;
  PointerListener listener_;
  std::string clip_;
  std::vector<std::string> calls_;
};

}  // namespace nimbrel
