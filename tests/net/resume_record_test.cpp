// The record that ties kept download bytes to their source, shared by a package's part
// and an update's pieces: what it writes reads back the same, and anything another
// program could have left there that is not such a record is refused.
#include "net/resume_record.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "temp_folder.h"

namespace {

using testing_support::TempFolder;

// `count` spans of one byte, two bytes apart.
std::string ManySpans(int count) {
  std::string spans;
  for (int i = 0; i < count; ++i) {
    spans += (i ? ", [" : "[") + std::to_string(2 * i) + ", " + std::to_string(2 * i + 1) + "]";
  }
  return spans;
}

TEST(ResumeRecord, ReadsBackWhatWasWrittenWithOrWithoutASize) {
  TempFolder temp;
  const std::string path = temp.Narrow("source.json");
  for (const net::ResumeRecord& written :
       {net::ResumeRecord{"http://127.0.0.1:8080/client_1.0.zip", "\"abc\"", -1},
        net::ResumeRecord{"http://127.0.0.1:8080/client_1.0.zip?t=1", "Tue, 01 Dec 2026 10:00:00 GMT", 5000000000},
        net::ResumeRecord{"http://127.0.0.1:8080/client_1.0.zip", "\"abc\"", 5000000000,
                          std::vector<net::ByteSpan>{{0, 10}, {20, 5000000000}}},
        net::ResumeRecord{"http://127.0.0.1:8080/client_1.0.zip", "\"abc\"", 100, std::vector<net::ByteSpan>{}}}) {
    ASSERT_TRUE(net::WriteResumeRecord(path, written));
    net::ResumeRecord read;
    ASSERT_TRUE(net::ReadResumeRecord(path, &read));
    EXPECT_EQ(read, written);
  }
  EXPECT_FALSE(std::filesystem::exists(temp.path() / "source.json.tmp"));
}

TEST(ResumeRecord, WhatIsNotOneOfOursIsRefused) {
  const std::string url = R"("Url": "http://127.0.0.1/p.zip")";
  const std::vector<std::string> texts = {
      "",
      "not json",
      R"(["Url", "Validator"])",
      R"({"Validator": "\"a\""})",
      "{" + url + R"(, "Validator": 7})",
      "{" + url + R"(, "Validator": "\"a\"\r\nX-Other: 1"})",
      R"({"Url": "http://127.0.0.1/p.zip\n", "Validator": "\"a\""})",
      "{" + url + R"(, "Validator": "\"a\"", "Size": "12"})",
      "{" + url + R"(, "Validator": "\"a\"", "Size": -1})",
      "{" + url + R"(, "Validator": "\"a\"", "Size": 1.5})",
      "{" + url + R"(, "Validator": )" + std::string(1100, '['),
      "{" + url + R"(, "Validator": "\"a\"", "Padding": ")" + std::string(70000, 'x') + "\"}",
      "{" + url + R"(, "Validator": "\"a\"", "Spans": [[0, 10]]})",
      "{" + url + R"(, "Validator": "\"a\"", "Size": 100, "Spans": [[0, 101]]})",
      "{" + url + R"(, "Validator": "\"a\"", "Size": 100, "Spans": [[0, 20], [10, 30]]})",
      "{" + url + R"(, "Validator": "\"a\"", "Size": 100, "Spans": [[0, 10], [10, 30]]})",
      "{" + url + R"(, "Validator": "\"a\"", "Size": 100, "Spans": [[20, 30], [0, 10]]})",
      "{" + url + R"(, "Validator": "\"a\"", "Size": 100, "Spans": [[10, 10]]})",
      "{" + url + R"(, "Validator": "\"a\"", "Size": 100, "Spans": [[-5, 10]]})",
      "{" + url + R"(, "Validator": "\"a\"", "Size": 100, "Spans": [[0, 1.5]]})",
      "{" + url + R"(, "Validator": "\"a\"", "Size": 100, "Spans": [[0, 10, 20]]})",
      "{" + url + R"(, "Validator": "\"a\"", "Size": 100, "Spans": {"0": 10}})",
      "{" + url + R"(, "Validator": "\"a\"", "Size": 1000, "Spans": [)" + ManySpans(65) + "]}",
  };
  for (const std::string& text : texts) {
    TempFolder temp;
    const std::string path = temp.Narrow("record.json");
    testing_support::WriteFile(temp.path() / "record.json", text);
    net::ResumeRecord read;
    EXPECT_FALSE(net::ReadResumeRecord(path, &read)) << text.substr(0, 120);
  }
}

TEST(ResumeRecord, OnlyAValidatorALaterRunCanSendIsRecordable) {
  EXPECT_TRUE(net::IsRecordableValidator("\"5f0a-1c\""));
  EXPECT_TRUE(net::IsRecordableValidator("W/\"caf\xC3\xA9\""));
  EXPECT_FALSE(net::IsRecordableValidator(""));
  EXPECT_FALSE(net::IsRecordableValidator("\"a\"\r\n"));
  EXPECT_FALSE(net::IsRecordableValidator("\"caf\xE9\""));
}

}  // namespace
