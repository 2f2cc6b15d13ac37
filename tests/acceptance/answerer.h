#pragma once
// Answers the helper's real message boxes as a user would. A thread looks for each
// "TARNWELL Setup" box, records its text, icon and buttons, and presses the button that the
// scenario scripted for it.

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "acceptance/messages.h"
#include "common/boxes.h"

struct SeenBox {
  std::wstring text;
  BoxIcon icon = BoxIcon::Unknown;
  std::vector<int> buttons;  // left to right
  RECT rect = {};
  DWORD processId = 0;
  int pressed = 0;
};

// One scripted answer: the button, and what the user does before pressing it (closing the
// application that holds a file, for example).
struct Press {
  int button;
  std::function<void()> before = {};
};

// Reads a box: its text, its buttons, and its icon (told apart by its pixels, the only way
// that works across processes under Wine).
SeenBox ReadBox(HWND box);

class Answerer {
 public:
  // accept decides whether a box's process is the one under test; presses are used in order.
  // A box without a scripted answer is answered with OK when that is its only button;
  // a question without one is a failure and is answered with the button that ends its loop
  // (Abort or Cancel), so no scenario can hang on it.
  Answerer(std::function<bool(DWORD)> accept, std::vector<Press> presses);
  ~Answerer();
  Answerer(const Answerer&) = delete;
  Answerer& operator=(const Answerer&) = delete;

  // Stops looking, after a last look for a box that is already up.
  std::vector<SeenBox> Finish();
  // What went wrong while answering: unscripted questions, buttons a box does not have.
  std::vector<std::string> Problems();

 private:
  void Run();
  void Answer(HWND box);
  std::function<bool(DWORD)> accept_;
  std::vector<Press> presses_;
  size_t next_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<SeenBox> boxes_;
  std::vector<std::string> problems_;
  std::thread thread_;
};
