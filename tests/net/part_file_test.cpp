// The part record that lets a later run resume a download: a later run resumes with
// exactly the validator the server sent, or not at all.
#include "net/part_file.h"

#include <gtest/gtest.h>

#include <string>

#include "temp_folder.h"

namespace {

using testing_support::TempFolder;

constexpr char kUrl[] = "http://127.0.0.1:8080/client_1.0.zip";

struct ValidatorCase {
  const char* name;
  std::string validator;
  bool laterRunResumes;
};

void PrintTo(const ValidatorCase& c, std::ostream* out) { *out << c.name; }

class PartRecordTest : public testing::TestWithParam<ValidatorCase> {};

TEST_P(PartRecordTest, ALaterRunResumesWithTheSameValidatorOrNotAtAll) {
  const ValidatorCase& c = GetParam();
  TempFolder temp;
  const std::string target = temp.Narrow("client_1.0.zip");
  {
    net::PartFile part(target, kUrl, -1, "");
    part.Prepare();
    ASSERT_TRUE(part.StartOver(c.validator));
    ASSERT_TRUE(part.Append("PK\3\4", 4));
    ASSERT_TRUE(part.EndAttempt());
    EXPECT_EQ(part.Resumable(), 4);
  }
  net::PartFile later(target, kUrl, -1, "");
  later.Prepare();
  EXPECT_EQ(later.Resumable(), c.laterRunResumes ? 4 : 0);
  EXPECT_EQ(later.validator(), c.laterRunResumes ? c.validator : "");
}

INSTANTIATE_TEST_SUITE_P(Validators, PartRecordTest,
                         testing::Values(ValidatorCase{"Strong", "\"5f1c-62a1b3\"", true},
                                         ValidatorCase{"Date", "Thu, 10 Dec 2026 23:15:01 GMT", true},
                                         ValidatorCase{"Utf8", "\"caf\xC3\xA9\"", true},
                                         // HTTP allows such bytes in an ETag; JSON cannot hold them.
                                         ValidatorCase{"Latin1", "\"caf\xE9\"", false}),
                         [](const testing::TestParamInfo<ValidatorCase>& info) { return info.param.name; });

// Another program may write the record; the JSON reader throws past a thousand nested
// arrays, which must not end the launcher at the next download.
TEST(PartRecord, ARecordNestedTooDeepResumesNothing) {
  TempFolder temp;
  const std::string target = temp.Narrow("client_1.0.zip");
  testing_support::WriteFile(temp.path() / "client_1.0.zip.part", "PK\3\4");
  testing_support::WriteFile(temp.path() / "client_1.0.zip.part.json",
                             R"({"Url":")" + std::string(kUrl) + R"(","Validator":)" + std::string(1100, '['));
  net::PartFile part(target, kUrl, -1, "");
  part.Prepare();
  EXPECT_EQ(part.Resumable(), 0);
}

}  // namespace
