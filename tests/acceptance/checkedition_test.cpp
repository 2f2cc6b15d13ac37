// "checkedition <edition type>": the built helper refuses one edition over the other one's
// files, recorded in the prefix's real registry, and removes a stale edition record.

#include <gtest/gtest.h>

#include <algorithm>

#include "acceptance/runner.h"

namespace {

enum class Recorded { NoKey, NoPath, Files, EmptyDir, Gone, EmptyText };

struct EditionCase {
  const char* name;
  std::wstring argument;  // as it stands on the command line
  KeyView view;           // where the earlier installation recorded itself
  std::wstring edition;   // its EDITION
  Recorded recorded;      // what its INSTALLPATH names
  bool refused;           // the other edition's files are there: message and 1
  bool recordRemoved;     // EDITION is deleted as stale
};

class CheckEditionTest : public ::testing::TestWithParam<EditionCase> {};

TEST_P(CheckEditionTest, RefusesOnlyTheOtherEditionWithFiles) {
  const EditionCase& c = GetParam();
  ProductKey key;
  TestDir installed;
  std::wstring recordedPath = installed.path();
  if (c.recorded == Recorded::Files) installed.MakeFile(L"bin\\tarnwell.exe");
  if (c.recorded == Recorded::Gone) recordedPath += L"\\gone";
  if (c.recorded == Recorded::EmptyText) recordedPath.clear();
  if (c.recorded != Recorded::NoKey) key.Set(c.view, L"EDITION", c.edition);
  if (c.recorded != Recorded::NoKey && c.recorded != Recorded::NoPath) key.Set(c.view, L"INSTALLPATH", recordedPath);

  const HelperRun run = RunHelper(L"checkedition " + c.argument);
  std::vector<ExpectedBox> boxes;
  if (c.refused) boxes.push_back(Box(Message::OtherEditionInstalled, recordedPath));
  ExpectRun(run, c.refused ? 1 : 0, boxes);

  if (c.recorded != Recorded::NoKey) {
    EXPECT_EQ(key.Has(c.view, L"EDITION"), !c.recordRemoved);
    EXPECT_EQ(key.Get(c.view, L"INSTALLPATH"), c.recorded == Recorded::NoPath ? L"<absent>" : recordedPath)
        << "the recorded path is never touched";
  }
  if (c.recorded == Recorded::Files) {
    EXPECT_TRUE(Exists(installed / L"bin\\tarnwell.exe"));
  }
  // The helper tells in its trace what it compared.
  EXPECT_TRUE(run.TraceContains(L"pszEditionType"));
}

const std::wstring kOverLong(4400, L'x');

INSTANTIATE_TEST_SUITE_P(
    CheckEdition, CheckEditionTest,
    ::testing::Values(
        // Nothing recorded: an absent record counts as commercial, but there is no path.
        EditionCase{"NoRecord", L"STUDENT", KeyView::Native, L"", Recorded::NoKey, false, false},
        EditionCase{"StudentOverCommercialFiles", L"STUDENT", KeyView::Native, L"COMMERCIAL", Recorded::Files, true,
                    false},
        EditionCase{"CommercialOverStudentFiles", L"COMMERCIAL", KeyView::Native, L"STUDENT", Recorded::Files, true,
                    false},
        // Case is ignored and containment counts: both are student editions.
        EditionCase{"LowerCaseStudentOverCommercial", L"student", KeyView::Native, L"Commercial", Recorded::Files,
                    true, false},
        EditionCase{"ContainingStudentMatchesStudent", L"NOSTUDENTS", KeyView::Native, L"student", Recorded::Files,
                    false, false},
        EditionCase{"SameCommercial", L"\"COMMERCIAL EDITION\"", KeyView::Native, L"PRO", Recorded::Files, false,
                    false},
        // The other edition left nothing: its record is stale and goes.
        EditionCase{"OtherEditionEmpty", L"COMMERCIAL", KeyView::Native, L"STUDENT", Recorded::EmptyDir, false, true},
        // Its directory is gone: nothing proves it is there, nothing is removed.
        EditionCase{"OtherEditionGone", L"COMMERCIAL", KeyView::Native, L"STUDENT", Recorded::Gone, false, false},
        EditionCase{"OtherEditionWithoutPath", L"COMMERCIAL", KeyView::Native, L"STUDENT", Recorded::NoPath, false,
                    false},
        // An empty recorded path is no path: it would list the current drive's root.
        EditionCase{"OtherEditionWithEmptyPath", L"COMMERCIAL", KeyView::Native, L"STUDENT", Recorded::EmptyText,
                    false, false},
        // A 32-bit installer recorded itself in the 32-bit view.
        EditionCase{"WowFiles", L"COMMERCIAL", KeyView::Wow, L"STUDENT", Recorded::Files, true, false},
        EditionCase{"WowEmpty", L"COMMERCIAL", KeyView::Wow, L"STUDENT", Recorded::EmptyDir, false, true},
        // Too long for the helper's buffer: read as empty, the commercial edition.
        EditionCase{"OverLongArgument", L"STUDENT" + kOverLong, KeyView::Native, L"STUDENT", Recorded::Files, true,
                    false},
        // "checkedition" is never quiet.
        EditionCase{"QuietIsNotForCheckEdition", L"COMMERCIAL quiet", KeyView::Native, L"STUDENT", Recorded::Files,
                    true, false}),
    [](const ::testing::TestParamInfo<EditionCase>& info) { return std::string(info.param.name); });

// Both views hold a record: only the native one is read and changed.
TEST(CheckEditionViews, OnlyTheNativeRecordCountsWhenBothExist) {
  ProductKey key;
  TestDir native;
  TestDir wow;
  wow.MakeFile(L"tarnwell.exe");
  key.Set(KeyView::Native, L"EDITION", L"STUDENT");
  key.Set(KeyView::Native, L"INSTALLPATH", native.path());
  key.Set(KeyView::Wow, L"EDITION", L"STUDENT");
  key.Set(KeyView::Wow, L"INSTALLPATH", wow.path());
  ExpectRun(RunHelper(L"checkedition COMMERCIAL"), 0, {});
  EXPECT_FALSE(key.Has(KeyView::Native, L"EDITION"));
  EXPECT_TRUE(key.Has(KeyView::Wow, L"EDITION"));
}

}  // namespace
