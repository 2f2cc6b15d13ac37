#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "base/text.h"
#include "front/main.h"
#include "support/fixtures.h"
#include "support/productkey.h"
#include "support/texts.h"

namespace {

// What "INSTALLPATH" holds.
enum class Recorded { None, Full, EmptyDir, Missing, EmptyText, ExpandSz };

struct EditionCase {
  const char* name;
  std::wstring argument;
  std::wstring shown;        // the requested edition as the debug output shows it
  const wchar_t* edition;    // "EDITION", or null for none
  Recorded path;
  int expected;              // 1 only with the other-edition message
  bool listed;               // the recorded directory was looked at
  bool deleted;              // "EDITION" removed
  KeyView view = KeyView::Native;
  DWORD editionType = REG_SZ;
};

class CheckEditionTest : public HelperTest {
 protected:
  ProductKeys keys;
  TempDir dir;
  const std::wstring full = dir.MakeDir(L"Full");
  const std::wstring empty = dir.MakeDir(L"Empty");
  const std::wstring missing = dir / L"Missing";

  CheckEditionTest() { dir.MakeFile(L"Full\\data.qel"); }

  // Writes "INSTALLPATH" and returns the text that the helper reads from it.
  std::wstring Record(KeyView view, Recorded path) const {
    switch (path) {
      case Recorded::None: return L"";
      case Recorded::Full: keys.SetString(view, L"INSTALLPATH", full); return full;
      case Recorded::EmptyDir: keys.SetString(view, L"INSTALLPATH", empty); return empty;
      case Recorded::Missing: keys.SetString(view, L"INSTALLPATH", missing); return missing;
      case Recorded::EmptyText: keys.SetString(view, L"INSTALLPATH", L""); return L"";
      case Recorded::ExpandSz:
        keys.SetRaw(view, L"INSTALLPATH", REG_EXPAND_SZ, full.c_str(),
                    static_cast<DWORD>((full.size() + 1) * sizeof(wchar_t)));
        return full;
    }
    return L"";
  }
};

// The debugger lines of the check itself, trace lines left out.
std::vector<std::wstring> CheckLines(const TraceRecorder& trace) {
  std::vector<std::wstring> lines;
  bool started = false;
  for (const std::wstring& line : trace.lines) {
    const bool isTrace = line.rfind(L"PID: ", 0) == 0;
    if (isTrace && line.find(L"function: <HandleCheckEdition>") != std::wstring::npos) started = true;
    if (started && !isTrace && line.rfind(L"Message boxes ", 0) != 0) lines.push_back(line);
  }
  return lines;
}

bool Reached(const TraceRecorder& trace, const wchar_t* function) {
  const std::vector<std::wstring> functions = trace.Functions();
  return std::find(functions.begin(), functions.end(), function) != functions.end();
}

TEST_F(CheckEditionTest, RefusesOnlyTheOtherEditionWhileItsDirectoryHoldsFiles) {
  const std::wstring tooLong = L"STUDENT" + std::wstring(kPathChars - 7, L'x');
  const std::wstring longest = L"STUDENT" + std::wstring(kPathChars - 8, L'x');
  const KeyView wow = KeyView::Wow;
  const std::vector<EditionCase> cases = {
      {"no key", L"STUDENT", L"STUDENT", nullptr, Recorded::None, 0, false, false},
      {"a path without edition is commercial", L"STUDENT", L"STUDENT", nullptr, Recorded::Full, 1, true, false},
      {"student in lower case", L"student", L"student", L"COMMERCIAL", Recorded::Full, 1, true, false},
      {"NOSTUDENTS contains it", L"NOSTUDENTS", L"NOSTUDENTS", L"COMMERCIAL", Recorded::Full, 1, true, false},
      {"empty argument is commercial", L"", L"", L"STUDENT", Recorded::Full, 1, true, false},
      {"recorded student, full", L"COMMERCIAL", L"COMMERCIAL", L"STUDENT", Recorded::Full, 1, true, false},
      {"recorded student, empty", L"COMMERCIAL", L"COMMERCIAL", L"STUDENT", Recorded::EmptyDir, 0, true, true},
      {"recorded student, missing", L"COMMERCIAL", L"COMMERCIAL", L"STUDENT", Recorded::Missing, 0, true, false},
      {"agreeing students", L"Student//Lab", L"Student\\Lab", L"student edition", Recorded::Full, 0, false, false},
      {"agreeing commercial", L"COMMERCIAL", L"COMMERCIAL", L"Commercial", Recorded::Full, 0, false, false},
      {"over-long argument is commercial", tooLong, L"", L"STUDENT", Recorded::Full, 1, true, false},
      {"longest argument", longest, longest, L"STUDENT", Recorded::Full, 0, false, false},
      {"empty INSTALLPATH is no path", L"COMMERCIAL", L"COMMERCIAL", L"STUDENT", Recorded::EmptyText, 0, false, false},
      {"INSTALLPATH not a string", L"COMMERCIAL", L"COMMERCIAL", L"STUDENT", Recorded::ExpandSz, 0, false, false},
      {"32-bit key, full", L"COMMERCIAL", L"COMMERCIAL", L"STUDENT", Recorded::Full, 1, true, false, wow},
      {"EDITION not a string is commercial", L"STUDENT", L"STUDENT", L"STUDENT", Recorded::Full, 1, true, false,
       KeyView::Native, REG_EXPAND_SZ},
      {"32-bit key, empty", L"COMMERCIAL", L"COMMERCIAL", L"STUDENT", Recorded::EmptyDir, 0, true, true, wow},
  };
  for (const EditionCase& c : cases) {
    keys.Clear();
    if (c.edition != nullptr) {
      keys.SetRaw(c.view, L"EDITION", c.editionType, c.edition, static_cast<DWORD>((wcslen(c.edition) + 1) * 2));
    }
    const std::wstring path = Record(c.view, c.path);
    BoxRecorder caseBoxes;
    TraceRecorder caseTrace;
    OpenKeyCounter counter;

    EXPECT_EQ(RunHelper({L"checkedition", c.argument}), c.expected) << c.name;

    const std::vector<std::wstring> lines = {L"HandleCheckEdition", L"pszEditionType", c.shown, L"pszEdition",
                                             c.edition != nullptr ? c.edition : L"", L"pszInstallPath", path};
    EXPECT_EQ(CheckLines(caseTrace), lines) << c.name;
    std::vector<std::wstring> shownBoxes;
    for (const Box& box : caseBoxes.boxes) {
      shownBoxes.push_back(box.text);
      EXPECT_EQ(box.style, static_cast<UINT>(MB_SYSTEMMODAL | MB_ICONERROR)) << c.name;
    }
    EXPECT_EQ(shownBoxes, c.expected == 1 ? std::vector<std::wstring>{OtherEditionText(path)} : std::vector<std::wstring>{})
        << c.name;
    EXPECT_EQ(Reached(caseTrace, L"CheckIfDirHasContent"), c.listed) << c.name;
    EXPECT_EQ(keys.HasValue(c.view, L"EDITION"), c.edition != nullptr && !c.deleted) << c.name;
    EXPECT_EQ(counter.stillOpen(), 0) << c.name;
    EXPECT_TRUE(Exists(full) && Exists(dir / L"Full\\data.qel") && Exists(empty)) << c.name << ": no file touched";
  }
}

TEST_F(CheckEditionTest, AMissingOrNullEditionArgumentIsRefusedWithItsUsage) {
  keys.SetString(KeyView::Native, L"EDITION", L"STUDENT");
  keys.SetString(KeyView::Native, L"INSTALLPATH", empty);
  OpenKeyCounter counter;

  EXPECT_EQ(RunHelper({L"checkedition"}), 1);
  EXPECT_FALSE(Reached(trace, L"HandleCheckEdition")) << "the dispatcher refuses it";

  wchar_t program[] = L"QelInstallHelper.exe";
  wchar_t command[] = L"checkedition";
  wchar_t* nullEdition[] = {program, command, nullptr};
  EXPECT_EQ(qel_tmain(3, nullEdition), 1);
  EXPECT_EQ(CheckLines(trace), std::vector<std::wstring>{L"HandleCheckEdition"});

  ASSERT_EQ(boxes.boxes.size(), 2u);
  EXPECT_EQ(boxes.boxes[0].text, kInvalidParameters);
  EXPECT_EQ(boxes.boxes[1].text, kInvalidEditionParameters);
  EXPECT_EQ(counter.opened, 0);
  EXPECT_TRUE(keys.HasValue(KeyView::Native, L"EDITION"));
}

}  // namespace
