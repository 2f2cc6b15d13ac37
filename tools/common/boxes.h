#pragma once
// The helper's message boxes as another program on the same display sees them: found by
// their caption, read (text and buttons) and answered by pressing a button, the way a user
// would. Used by the acceptance answerer and by the console tool behind scripts/run.sh.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// A visible "TARNWELL Setup" box of a process that accept takes, or null.
HWND FindHelperBox(const std::function<bool(DWORD)>& accept);

// Its text: the static control 0xFFFF, or 100 under Wine.
std::wstring BoxText(HWND box);

// Its visible buttons, left to right, and its icon control (null when it has none).
struct BoxControls {
  std::vector<int> buttons;
  HWND icon = nullptr;
};
BoxControls ReadControls(HWND box);

// Presses the button (IDYES, IDCANCEL, ...) and waits up to 10 s for the box to go; false when
// it stays.
bool PressButton(HWND box, int button);

bool HasButton(const std::vector<int>& buttons, int button);
// The button that ends a box's question without going on: Abort, Cancel or OK.
int StopButton(const std::vector<int>& buttons);

// "OK", "Yes", ...; several as "Yes/No/Cancel".
std::string ButtonName(int button);
std::string ButtonNames(const std::vector<int>& buttons);
