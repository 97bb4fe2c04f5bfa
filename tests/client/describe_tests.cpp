// The lines shown for the last upgrade, in both languages, and the C functions' buffers.
#include <brisvane/upgrade_client.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using brisvane::DescribeLastUpgrade, brisvane::Language, brisvane::LastUpgrade;
using brisvane::DescribeUnansweredUpgrade;
using Result = LastUpgrade::Result;

LastUpgrade Make(Result result, void (*edit)(LastUpgrade&) = nullptr) {
  LastUpgrade record;
  record.result = result;
  record.installer = "Setup_1.2.3.exe";
  if (edit != nullptr) edit(record);
  return record;
}

void NotFound(LastUpgrade& r) { r.httpStatus = 404, r.downloadError = 22, r.serverAnswered = true; }

// A failed download: the server's last status, libcurl's code, a server's answer.
LastUpgrade Download(int status, int code, bool answered = false) {
  LastUpgrade record = Make(Result::kDownloadFailed);
  record.httpStatus = status, record.downloadError = code, record.serverAnswered = answered;
  return record;
}

// A busy server's answer that said when to come back.
LastUpgrade Busy(std::uint64_t seconds) {
  LastUpgrade record = Download(503, 22, true);
  record.retryAfter = seconds;
  return record;
}

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
      {Make(Result::kDownloadFailed, NotFound), {"download", "refused it (HTTP 404 Not Found)."},
       {"下载失败", "服务器拒绝了下载（HTTP 404 Not Found）。"}},
      {Download(503, 22), {"failed to provide it (HTTP 503 Service Unavailable)"}, {"服务器出错"}},
      {Busy(120), {"(HTTP 503 Service Unavailable). The server is busy; try again in 2 minutes."},
       {"（HTTP 503 Service Unavailable）。服务器繁忙，请在 2 分钟后重试。"}},
      {Busy(150), {"try again in 3 minutes."}, {"请在 3 分钟后重试。"}},  // never too early
      {Busy(90), {"try again in 90 seconds."}, {"请在 90 秒后重试。"}},
      {Busy(1), {"try again in 1 second."}, {"请在 1 秒后重试。"}},
      {Busy(0), {"try again in a moment."}, {"请稍后重试。"}},
      {Busy(7201), {"try again in 3 hours."}, {"请在 3 小时后重试。"}},
      {Busy(172800), {"try again in 2 days."}, {"请在 2 天后重试。"}},
      {Download(499, 22), {"refused it (HTTP 499)."}, {"（HTTP 499）。"}},  // no phrase known
      {Download(0, 6), {"the server's name could not be found."}, {"找不到服务器的地址"}},
      {Download(0, 97), {"the server could not be reached."}, {"无法连接到服务器"}},  // any other
      {Download(0, 28), {"the server did not answer in time."}, {"服务器未能及时响应"}},
      {Download(0, 60), {"no secure connection to the server"}, {"安全连接"}},
      {Download(200, 28), {"the connection to the server broke off."}, {"连接中断"}},
      {Download(0, 7, true), {"broke off"}, {"连接中断"}},  // the answer told by the flag alone
      {Download(200, 23), {"it could not be saved on this computer."}, {"无法保存到这台电脑上"}},
      {Make(Result::kSignatureRefused, [](auto& r) { r.keyId = "DAC9", r.signatureProblem = "bad"; }),
       {"refused: its signature was not accepted for key DAC9."}, {"被拒绝", "DAC9 的验证。"}},
      {Make(static_cast<Result>(17)), {"unknown", "17"}, {"未知", "17"}},
  };
  for (const auto& c : cases) {
    for (const Language language : {Language::kEnglish, Language::kSimplifiedChinese}) {
      const std::string line = DescribeLastUpgrade(c.record, language);
      for (const char* word : {"CURLE_", "curl"}) EXPECT_EQ(line.find(word), line.npos) << line;
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

TEST(DescribeUnansweredUpgrade, SaysTheUpdateDidNotFinishAndThatNoMoreIsKnown) {
  char text[512];
  brisvane_describe_unanswered_upgrade(1, text, sizeof text);
  EXPECT_EQ(std::string(text).find("更新未完成"), 0u) << text;
  EXPECT_NE(std::string(text).find("无法确定新版本是否已安装"), std::string::npos) << text;
  const std::string english = DescribeUnansweredUpgrade();
  EXPECT_EQ(english.find("The update did not finish"), 0u) << english;
  EXPECT_NE(english.find("Whether the new version was installed is not known."), english.npos);
}

TEST(DescribeLastUpgradeDetail, CarriesTheNumbersAndLibcurlsTextInOneLine) {
  brisvane_last_upgrade record{};
  record.result = BRISVANE_UPGRADE_DOWNLOAD_FAILED, record.http_status = 404;
  record.has_download_error = 1, record.download_error = 22, record.server_answered = 1;
  record.has_request_id = 1, record.request_id = 18446744073709551615u;
  record.has_installer_exit_code = 1, record.installer_exit_code = 3221225477u;
  record.has_retry_after = 1, record.retry_after = 120;
  std::strcpy(record.signature_problem, "bad\nsignature");
  std::memset(record.download_error_text, 'T', sizeof record.download_error_text);  // no NUL
  char text[1024];
  const std::size_t length = brisvane_describe_last_upgrade_detail(&record, text, sizeof text);
  EXPECT_EQ(length, std::strlen(text));
  EXPECT_EQ(std::string(text), "last upgrade: result 4; request 18446744073709551615; HTTP status "
                               "404; server answered yes; libcurl code 22: " +
                                   std::string(256, 'T') +
                                   "; bytes received 0; retry after 120 s; installer exit code 3221225477 "
                                   "(0xC0000005); signature problem: bad signature");
}

}  // namespace
