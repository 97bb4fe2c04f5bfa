// When a failed try is asked again, and how long the client waits first.
#include "retry_rules.h"
#include "retry_policy.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <optional>
#include <random>
#include <set>
#include <string>

#include "LogicSession.h"

namespace {

using namespace std::chrono_literals;
using bvhttptools::ChoosePause;
using bvhttptools::IsTransient;
using bvhttptools::RetryAfter;
using bvhttptools::RetryPause;

// Sun, 06 Nov 1994 08:49:37 GMT
const auto kNow = std::chrono::system_clock::from_time_t(784111777);

TEST(RetryAfterValue, DeltaSeconds) {
  EXPECT_EQ(RetryAfter("120", kNow), std::optional<std::chrono::seconds>(120s));
  EXPECT_EQ(RetryAfter("0", kNow), std::optional<std::chrono::seconds>(0s));
}

TEST(RetryAfterValue, HttpDateInEachForm) {
  EXPECT_EQ(RetryAfter("Sun, 06 Nov 1994 08:50:07 GMT", kNow), std::optional<std::chrono::seconds>(30s));
  EXPECT_EQ(RetryAfter("Mon, 07 Nov 1994 08:49:37 GMT", kNow), std::optional<std::chrono::seconds>(86400s));
  EXPECT_EQ(RetryAfter("Sunday, 06-Nov-94 08:51:37 GMT", kNow), std::optional<std::chrono::seconds>(120s));
  EXPECT_EQ(RetryAfter("Sun Nov  6 08:49:47 1994", kNow), std::optional<std::chrono::seconds>(10s));
}

TEST(RetryAfterValue, PastDateAsksForNoPause) {
  EXPECT_EQ(RetryAfter("Sat, 05 Nov 1994 08:49:37 GMT", kNow), std::optional<std::chrono::seconds>(0s));
  EXPECT_EQ(RetryAfter("Thu, 01 Jan 1970 00:00:00 GMT", kNow), std::optional<std::chrono::seconds>(0s));
}

TEST(RetryAfterValue, GarbageIsNothing) {
  for (const char* value : {"", "soon", "12abc", "-5", "1.5", " ", "Sun, 06 Nov 1994 08:50:07 PST",
                            "Sun, 06 Foo 1994 08:50:07 GMT", "Sun, 06 Nov 1994 25:50:07 GMT",
                            "Sun, 06 Nov 1994 08:50:07 GMT trailing", "Sun, 06 Nov 1994"}) {
    EXPECT_EQ(RetryAfter(value, kNow), std::nullopt) << '"' << value << '"';
  }
}

// Dates with negative fields or impossible days were read as some other
// moment (31 February as 3 March, minute -1 as the previous hour).
TEST(RetryAfterValue, ImpossibleDatesAreNothing) {
  for (const char* value : {"Wed, 31 Feb 2027 10:00:00 GMT", "Thu, 29 Feb 2027 10:00:00 GMT",
                            "Sun, 31 Apr 1994 10:00:00 GMT", "Sun, 06 Nov 1994 -1:49:37 GMT",
                            "Sun, 06 Nov 1994 08:-1:37 GMT", "Sun, 06 Nov 1994 08:49:-5 GMT",
                            "Sunday, 31-Apr-95 08:49:37 GMT", "Sun Nov 31 08:49:37 1994"}) {
    EXPECT_EQ(RetryAfter(value, kNow), std::nullopt) << '"' << value << '"';
  }
  EXPECT_TRUE(RetryAfter("Tue, 29 Feb 2028 10:00:00 GMT", kNow).has_value());
}

TEST(RetryAfterValue, HugeValueStaysHugeUntilTheCap) {
  std::optional<std::chrono::seconds> huge = RetryAfter("99999999999999999999999", kNow);
  ASSERT_TRUE(huge.has_value());
  EXPECT_GE(*huge, 1000000000s);
  std::mt19937 random(1);
  RetryPause rule{500ms, 120s, true};
  for (int i = 0; i < 100; ++i) {
    std::chrono::milliseconds pause = ChoosePause(rule, huge, random);
    EXPECT_GE(pause, 120s);
    EXPECT_LE(pause, 121s);
  }
}

TEST(RetryPauseChoice, FullJitterSpreadsOverTheWholeLimit) {
  std::mt19937 random(42);
  RetryPause rule{1000ms, 120s, true};
  std::set<long long> seen;
  for (int i = 0; i < 1000; ++i) {
    std::chrono::milliseconds pause = ChoosePause(rule, std::nullopt, random);
    EXPECT_GE(pause, 0ms);
    EXPECT_LE(pause, 1000ms);
    seen.insert(pause.count());
  }
  EXPECT_GT(seen.size(), 500u) << "pauses are not spread";
  EXPECT_LT(*seen.begin(), 100);
  EXPECT_GT(*seen.rbegin(), 900);
}

TEST(RetryPauseChoice, RetryAfterIsTheEarliestMoment) {
  std::mt19937 random(7);
  RetryPause rule{500ms, 120s, true};
  std::set<long long> seen;
  for (int i = 0; i < 200; ++i) {
    std::chrono::milliseconds pause = ChoosePause(rule, 5s, random);
    EXPECT_GE(pause, 5s);
    EXPECT_LE(pause, 6s);
    seen.insert(pause.count());
  }
  EXPECT_GT(seen.size(), 50u) << "clients told the same second come back together";
  EXPECT_GT(*seen.rbegin(), 5800) << "the return is not spread over the whole second";
}

TEST(RetryPauseChoice, WithoutJitterEveryClientWaitsTheLimit) {
  std::mt19937 random(3);
  RetryPause rule{500ms, 120s, false};
  EXPECT_EQ(ChoosePause(rule, std::nullopt, random), 500ms);
  EXPECT_EQ(ChoosePause(rule, 2s, random), 3000ms);
}

TEST(TransientFailure, OverloadAndServerErrorsAreAskedAgain) {
  EXPECT_TRUE(IsTransient(CURLE_HTTP_RETURNED_ERROR, 429));
  EXPECT_TRUE(IsTransient(CURLE_HTTP_RETURNED_ERROR, 503));
  EXPECT_TRUE(IsTransient(CURLE_HTTP_RETURNED_ERROR, 500));
  EXPECT_TRUE(IsTransient(CURLE_COULDNT_CONNECT, 0));
  EXPECT_TRUE(IsTransient(CURLE_PARTIAL_FILE, 200));
  EXPECT_FALSE(IsTransient(CURLE_HTTP_RETURNED_ERROR, 404));
  EXPECT_FALSE(IsTransient(CURLE_HTTP_RETURNED_ERROR, 403));
  EXPECT_FALSE(IsTransient(CURLE_WRITE_ERROR, 200));
  EXPECT_FALSE(IsTransient(CURLE_PEER_FAILED_VERIFICATION, 0));
}

// The policy over a run of failed tries, on a made-up clock: each row is
// one failure, when it happened, what the try gained, and whether another
// try follows.
TEST(RetryPolicyRun, NetworkFailuresRunOnTheBudgetAndProgressRenewsIt) {
  TransferOptions options;
  options.noProgressBudget = 60s;
  options.maxAttempts = 3;
  options.retryJitter = false;
  const auto start = bvhttptools::RetryPolicy::Clock::time_point{};
  const struct {
    CURLcode code;
    long status;
    int atSeconds;
    curl_off_t gained;
    bool again;
  } rows[] = {
      {CURLE_COULDNT_CONNECT, 0, 10, 0, true},
      {CURLE_HTTP_RETURNED_ERROR, 503, 30, 0, true},
      {CURLE_PARTIAL_FILE, 200, 50, 1024, true},   // progress: the budget starts again
      {CURLE_HTTP_RETURNED_ERROR, 504, 100, 0, true},
      {CURLE_OPERATION_TIMEDOUT, 0, 111, 0, false},  // 61 s without a byte
  };
  bvhttptools::RetryPolicy policy(options, 1, start);
  for (const auto& row : rows) {
    std::string why;
    const auto pause = policy.AfterFailure(row.code, row.status, std::nullopt, row.gained,
                                           start + std::chrono::seconds(row.atSeconds), &why);
    EXPECT_EQ(pause.has_value(), row.again) << row.atSeconds << " s: " << why;
    if (pause) {
      EXPECT_LE(*pause, options.retryPauseCap);
    }
  }
}

TEST(RetryPolicyRun, OtherFailuresUseUpAttemptsUnlessTheyGainAndPausesStopAtTheCap) {
  TransferOptions options;
  options.maxAttempts = 3;
  options.retryJitter = false;
  const auto now = bvhttptools::RetryPolicy::Clock::time_point{};
  bvhttptools::RetryPolicy policy(options, 1, now);
  std::string why;
  EXPECT_TRUE(policy.AfterFailure(CURLE_HTTP_RETURNED_ERROR, 500, std::nullopt, 0, now, &why));
  EXPECT_TRUE(policy.AfterFailure(CURLE_HTTP_RETURNED_ERROR, 500, std::nullopt, 10, now, &why));
  EXPECT_TRUE(policy.AfterFailure(CURLE_HTTP_RETURNED_ERROR, 500, std::nullopt, 0, now, &why));
  EXPECT_FALSE(policy.AfterFailure(CURLE_HTTP_RETURNED_ERROR, 500, std::nullopt, 0, now, &why));
  EXPECT_EQ(why, "3 tries failed");
  EXPECT_FALSE(policy.AfterFailure(CURLE_HTTP_RETURNED_ERROR, 404, std::nullopt, 0, now, &why));

  bvhttptools::RetryPolicy growing(options, 1, now);
  std::chrono::milliseconds last{0};
  for (int i = 0; i < 10; ++i) last = *growing.AfterFailure(CURLE_COULDNT_CONNECT, 0, std::nullopt, 0, now, &why);
  EXPECT_EQ(last, options.retryPauseCap);
}

// A fleet cut at the same instant must not come back in one burst at the
// budget's edge: each client gives up when its next jittered pause would
// pass the budget, so no try lands on the edge itself.
TEST(RetryPolicyRun, GivesUpRatherThanTryingAtTheBudgetsEdge) {
  TransferOptions options;
  options.noProgressBudget = 60s;
  const auto start = bvhttptools::RetryPolicy::Clock::time_point{};
  for (unsigned seed = 1; seed <= 200; ++seed) {
    bvhttptools::RetryPolicy policy(options, seed, start);
    std::chrono::milliseconds at{0};
    std::string why;
    while (const auto pause = policy.AfterFailure(CURLE_COULDNT_CONNECT, 0, std::nullopt, 0, start + at, &why)) {
      at += *pause;
      ASSERT_LT(at, options.noProgressBudget) << "seed " << seed;
    }
    EXPECT_NE(why.find("would pass the 60 s allowed"), std::string::npos) << why;
  }
}

// A server's Retry-After is honoured, with up to a second of jitter, only
// when the wait ends within the budget counted from the last progress;
// otherwise the download ends at once.
TEST(RetryPolicyRun, RetryAfterBeyondTheBudgetEndsTheDownloadNow) {
  TransferOptions options;
  options.noProgressBudget = 60s;
  const auto start = bvhttptools::RetryPolicy::Clock::time_point{};
  const struct {
    long status;
    int retryAfter;
    int atSeconds;
    curl_off_t gained;
    bool again;
  } rows[] = {
      {503, 120, 0, 0, false},
      {429, 60, 0, 0, false},  // the jitter would take it past the edge
      {429, 30, 0, 0, true},
      {503, 30, 40, 0, false},    // 40 s already spent without a byte
      {503, 30, 40, 4096, true},  // the same wait after progress
  };
  for (const auto& row : rows) {
    bvhttptools::RetryPolicy policy(options, 5, start);
    std::string why;
    // Earlier failures grow the limit of the pauses, not the jitter after a Retry-After.
    for (int i = 0; i < 4; ++i) policy.AfterFailure(CURLE_COULDNT_CONNECT, 0, std::nullopt, 0, start, &why);
    const auto pause = policy.AfterFailure(CURLE_HTTP_RETURNED_ERROR, row.status, std::chrono::seconds(row.retryAfter),
                                           row.gained, start + std::chrono::seconds(row.atSeconds), &why);
    ASSERT_EQ(pause.has_value(), row.again) << row.status << " after " << row.retryAfter << " s: " << why;
    if (pause) {
      EXPECT_GE(*pause, std::chrono::seconds(row.retryAfter));
      EXPECT_LE(*pause, std::chrono::seconds(row.retryAfter + 1));
    } else {
      EXPECT_NE(why.find("come back in " + std::to_string(row.retryAfter) + " s"), std::string::npos) << why;
    }
  }
}

}  // namespace
