// The line shown for the last upgrade, in both languages, and the C function's buffer.
#include <brisvane/upgrade_client.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using brisvane::DescribeLastUpgrade, brisvane::Language, brisvane::LastUpgrade;
using Result = LastUpgrade::Result;

LastUpgrade Make(Result result, void (*edit)(LastUpgrade&) = nullptr) {
  LastUpgrade record;
  record.result = result;
  record.installer = "Setup_1.2.3.exe";
  if (edit != nullptr) edit(record);
  return record;
}

void NotFound(LastUpgrade& r) { r.httpStatus = 404, r.downloadError = 22; }

TEST(DescribeLastUpgrade, TellsEachResultAndItsCausesInBothLanguages) {
  const struct {
    LastUpgrade record;
    std::vector<const char*> english, chinese;  // found in this order
  } cases[] = {
      {Make(Result::kInstalled, [](auto& r) { r.installer = "Setup\n.exe"; }),
       {"The update Setup .exe was installed."}, {"更新 Setup .exe 已安装。"}},
      {Make(Result::kInstalled, [](auto& r) { r.scriptExitCode = 3; }),
       {"installed", "script exited with code 3."}, {"已安装", "脚本的退出码为 3。"}},
      {Make(Result::kInstallerFailed, [](auto& r) { r.installerExitCode = 3221225477u; }),
       {"not installed", "code 3221225477 (0xC0000005)"}, {"未能安装", "3221225477 (0xC0000005)"}},
      {Make(Result::kInstallerFailed), {"without an exit code"}, {"没有退出码"}},
      {Make(Result::kInstallerTimeout), {"Setup_1.2.3.exe", "2 minutes"}, {"2 分钟"}},
      {Make(Result::kInstallerNotStarted), {"could not be started"}, {"无法启动"}},
      {Make(Result::kDownloadFailed, NotFound),
       {"HTTP 404 Not Found", "error 22 (CURLE_HTTP_RETURNED_ERROR)"},
       {"下载失败", "HTTP 404 Not Found", "22 (CURLE_HTTP_RETURNED_ERROR)"}},
      {Make(Result::kDownloadFailed, [](auto& r) { r.downloadError = 7; }),
       {"no server answered", "error 7 (CURLE_COULDNT_CONNECT)"},
       {"服务器没有响应", "7 (CURLE_COULDNT_CONNECT)"}},
      {Make(Result::kDownloadFailed, [](auto& r) { r.httpStatus = 200, r.downloadError = 28; }),
       {": libcurl error 28 (CURLE_OPERATION_TIMEDOUT)."},
       {"：libcurl 错误 28 (CURLE_OPERATION_TIMEDOUT)。"}},
      {Make(Result::kDownloadFailed, [](auto& r) { r.httpStatus = 599, r.downloadError = 100; }),
       {"HTTP 599;", "error 100."}, {"HTTP 599，", "错误 100。"}},
      {Make(Result::kSignatureRefused, [](auto& r) { r.keyId = "DAC9", r.signatureProblem = "bad"; }),
       {"refused", "key DAC9", "bad"}, {"被拒绝", "DAC9", "bad"}},
      {Make(static_cast<Result>(17)), {"unknown", "17"}, {"未知", "17"}},
  };
  for (const auto& c : cases) {
    for (const Language language : {Language::kEnglish, Language::kSimplifiedChinese}) {
      const std::string line = DescribeLastUpgrade(c.record, language);
      std::size_t at = 0;
      for (const char* part : language == Language::kEnglish ? c.english : c.chinese) {
        at = line.find(part, at);
        ASSERT_NE(at, std::string::npos) << "\"" << part << "\" is not in: " << line;
        at += std::strlen(part);
      }
    }
  }
}

TEST(DescribeLastUpgrade, CFunctionReadsTheStructAndCutsWholeCharacters) {
  brisvane_last_upgrade record{};
  record.result = BRISVANE_UPGRADE_DOWNLOAD_FAILED;
  std::strcpy(record.installer, "Setup_1.2.3.exe");
  record.http_status = 404, record.has_download_error = 1, record.download_error = 22;
  const std::string english = DescribeLastUpgrade(Make(Result::kDownloadFailed, NotFound));
  const std::string chinese =
      DescribeLastUpgrade(Make(Result::kDownloadFailed, NotFound), Language::kSimplifiedChinese);
  char text[512];
  EXPECT_EQ(brisvane_describe_last_upgrade(&record, 1, text, sizeof text), chinese.size());
  EXPECT_EQ(text, chinese);
  EXPECT_EQ(brisvane_describe_last_upgrade(&record, 7, text, sizeof text), english.size());
  EXPECT_EQ(text, english);  // an unknown language is English
  char small[5];             // "更" fits; "新" would be cut inside
  EXPECT_EQ(brisvane_describe_last_upgrade(&record, 1, small, sizeof small), chinese.size());
  EXPECT_STREQ(small, "更");
  std::memset(record.installer, 'A', sizeof record.installer);  // no NUL: read to its end only
  std::strcpy(record.url, "https://example.com");
  brisvane_describe_last_upgrade(&record, 0, text, sizeof text);
  EXPECT_NE(std::string(text).find(std::string(256, 'A') + " could"), std::string::npos) << text;
  EXPECT_EQ(brisvane_describe_last_upgrade(nullptr, 0, text, sizeof text), 0u);
  EXPECT_STREQ(text, "");
}

}  // namespace
