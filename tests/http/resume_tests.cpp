// Each way a try can end, and what the download does next.
#include "resume.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include "folder.h"
#include "leftover.h"

namespace {

using bvhttptools::Decide;
using bvhttptools::Decision;
using bvhttptools::KnownResource;
using bvhttptools::ResponseInfo;
using bvhttptools::Step;
using bvhttptools::TryResult;

const std::string kTag = "\"v1\"";
const std::string kOtherTag = "\"v2\"";
const std::string kDate = "Tue, 01 Dec 2026 10:00:00 GMT";
const long long kDateSeconds = 1796119200;  // kDate
const char kChanged[] = "the resource changed during the download";

// 400 of 1000 bytes on disk, tied to kTag.
const KnownResource kHalf{kTag, true, 1000, 400, false};
const KnownResource kHalfByDate{kDate, false, 1000, 400, false};
const KnownResource kNothing{"", false, -1, 0, false};
const KnownResource kNothingRefused{"", false, -1, 0, true};

ResponseInfo Partial(curl_off_t start, curl_off_t total, curl_off_t length, std::string tag,
                     std::string date = "") {
  return ResponseInfo{206, std::move(tag), std::move(date), length, start, total, true, {}, {}, ""};
}

ResponseInfo Whole(long status, curl_off_t length, std::string tag, std::string date = "") {
  return ResponseInfo{status, std::move(tag), std::move(date), length, -1, -1, true, {}, {}, ""};
}

// The response as sent `after` seconds after kDate (its Date header).
ResponseInfo SentAfter(ResponseInfo response, long long after) {
  response.date = kDateSeconds + after;
  return response;
}

// A 416's answer: the range lies past the end of `total` bytes.
ResponseInfo Unsatisfied(curl_off_t total, std::string tag) {
  return ResponseInfo{416, std::move(tag), "", -1, -1, total, true, {}, {}, ""};
}

// Only the header has arrived.
TryResult Header(ResponseInfo response) {
  return TryResult{std::move(response), false, CURLE_OK, 0, -1, 0};
}

TryResult Ended(ResponseInfo response, CURLcode code, curl_off_t length, curl_off_t written) {
  long status = response.status;
  return TryResult{std::move(response), true, code, status, length, written};
}

// A range answer that names its last byte.
ResponseInfo Ranged(curl_off_t start, curl_off_t end, curl_off_t total, curl_off_t length) {
  ResponseInfo response = Partial(start, total, length, kTag);
  response.rangeEnd = end;
  return response;
}

TryResult Overran(TryResult result) {
  result.overran = true;
  return result;
}

// After a chunked first answer the total was unknown.
const KnownResource kChunkedCut{kTag, true, -1, 1000, false};
const KnownResource kEightOf21{kTag, true, 21, 8, false};

struct Row {
  const char* name;
  KnownResource known;
  TryResult result;
  Step step;
  CURLcode code;
  const char* reason;  // nullptr: libcurl's own words stand
  // The next try: bytes kept, the validator they are tied to, ranges refused.
  curl_off_t nextOnDisk;
  std::string nextValidator;
  bool nextRefused;
};

TEST(ResumeDecision, EveryWayATryCanEnd) {
  const Row rows[] = {
      // Range honoured.
      {"range honoured, header", kHalf, Header(Partial(400, 1000, 600, kTag)),
       Step::Continue, CURLE_OK, "", 0, "", false},
      {"range honoured, finished", kHalf, Ended(Partial(400, 1000, 600, kTag), CURLE_OK, 600, 600),
       Step::Complete, CURLE_OK, "", 0, "", false},
      {"range honoured, no total, length fits", kHalf, Header(Partial(400, -1, 600, kTag)),
       Step::Continue, CURLE_OK, "", 0, "", false},
      {"range honoured, no tag shown", kHalf, Header(Partial(400, 1000, 600, "")),
       Step::Continue, CURLE_OK, "", 0, "", false},
      {"range honoured, by date", kHalfByDate, Header(Partial(400, 1000, 600, kOtherTag, kDate)),
       Step::Continue, CURLE_OK, "", 0, "", false},
      {"range honoured, dropped again", kHalf,
       Ended(Partial(400, 1000, 600, kTag), CURLE_PARTIAL_FILE, 600, 100),
       Step::Fail, CURLE_PARTIAL_FILE, nullptr, 500, kTag, false},
      {"range honoured, stops short of the size", kHalf,
       Ended(Partial(400, 1000, 300, kTag), CURLE_OK, 300, 300),
       Step::Fail, CURLE_PARTIAL_FILE, "received 700 of 1000 bytes", 700, kTag, false},
      {"range answer cut short", kHalf, Ended(Partial(400, 1000, 600, kTag), CURLE_OK, 600, 200),
       Step::Fail, CURLE_PARTIAL_FILE, "received 200 of 600 bytes", 600, kTag, false},
      // Range ignored: a whole answer to a resumed request.
      {"range ignored", kHalf, Ended(Whole(200, 1000, kTag), CURLE_RANGE_ERROR, 1000, 0),
       Step::StartOver, CURLE_RANGE_ERROR, nullptr, 0, "", true},
      {"range ignored, later drop starts over", kNothingRefused,
       Ended(Whole(200, 1000, kTag), CURLE_PARTIAL_FILE, 1000, 500),
       Step::Fail, CURLE_PARTIAL_FILE, nullptr, 0, "", true},
      {"whole answer at the end, same version", KnownResource{kTag, true, 400, 400, false},
       Ended(Whole(200, 400, kTag), CURLE_OK, 400, 0), Step::Complete, CURLE_OK, "", 0, "", false},
      {"whole answer at the end, other version", KnownResource{kTag, true, 400, 400, false},
       Ended(Whole(200, 400, kOtherTag), CURLE_OK, 400, 0),
       Step::StartOver, CURLE_RANGE_ERROR, kChanged, 0, "", false},
      {"whole answer at the end, no validator", KnownResource{kTag, true, 400, 400, false},
       Ended(Whole(200, 400, ""), CURLE_OK, 400, 0),
       Step::StartOver, CURLE_RANGE_ERROR, kChanged, 0, "", false},
      {"whole answer at the end, other size", kHalf, Ended(Whole(200, 400, kTag), CURLE_OK, 400, 0),
       Step::StartOver, CURLE_RANGE_ERROR, kChanged, 0, "", false},
      // Validator changed.
      {"range of another tag", kHalf, Header(Partial(400, 1000, 600, kOtherTag)),
       Step::StartOver, CURLE_OK, kChanged, 0, "", false},
      {"range of another date", kHalfByDate, Header(Partial(400, 1000, 600, kTag, "yesterday")),
       Step::StartOver, CURLE_OK, kChanged, 0, "", false},
      {"rejected range, after the try", kHalf,
       Ended(Partial(400, 1000, 600, kOtherTag), CURLE_WRITE_ERROR, 600, 0),
       Step::StartOver, CURLE_WRITE_ERROR, nullptr, 0, "", false},
      // Total changed, or the range does not start at the bytes on disk.
      {"range of another total", kHalf, Header(Partial(400, 1200, 800, kTag)),
       Step::StartOver, CURLE_OK, kChanged, 0, "", false},
      {"range without total, other length", kHalf, Header(Partial(400, -1, 700, kTag)),
       Step::StartOver, CURLE_OK, kChanged, 0, "", false},
      {"range from elsewhere", kHalf, Header(Partial(0, 1000, 1000, kTag)),
       Step::StartOver, CURLE_OK, kChanged, 0, "", false},
      // First try: what it shows is what later tries must match.
      {"first try, tag remembered", kNothing, Ended(Whole(200, 1000, kTag), CURLE_PARTIAL_FILE, 1000, 500),
       Step::Fail, CURLE_PARTIAL_FILE, nullptr, 500, kTag, false},
      {"first try, date a minute before sending remembered", KnownResource{"", true, -1, 0, false},
       Ended(SentAfter(Whole(200, 1000, "", kDate), 60), CURLE_PARTIAL_FILE, 1000, 500),
       Step::Fail, CURLE_PARTIAL_FILE, nullptr, 500, kDate, false},
      // A date close to the sending may cover two versions: no validator.
      {"first try, date 59 s before sending", kNothing,
       Ended(SentAfter(Whole(200, 1000, "", kDate), 59), CURLE_PARTIAL_FILE, 1000, 500),
       Step::Fail, CURLE_PARTIAL_FILE, nullptr, 0, "", false},
      {"first try, date after sending", kNothing,
       Ended(SentAfter(Whole(200, 1000, "", kDate), -3600), CURLE_PARTIAL_FILE, 1000, 500),
       Step::Fail, CURLE_PARTIAL_FILE, nullptr, 0, "", false},
      {"first try, date without the sending time", kNothing,
       Ended(Whole(200, 1000, "", kDate), CURLE_PARTIAL_FILE, 1000, 500),
       Step::Fail, CURLE_PARTIAL_FILE, nullptr, 0, "", false},
      {"first try, unasked range", kNothing, Header(Partial(400, 1000, 600, kTag)),
       Step::Continue, CURLE_OK, "", 0, "", false},
      {"first try, redirect's tag ignored", kNothing,
       Ended(Whole(302, 0, kTag), CURLE_PARTIAL_FILE, -1, 500),
       Step::Fail, CURLE_PARTIAL_FILE, nullptr, 0, "", false},
      {"first try, empty body", kNothing, Ended(Whole(200, 0, kTag), CURLE_OK, 0, 0),
       Step::Fail, CURLE_WEIRD_SERVER_REPLY, "the server sent an empty body", 0, "", false},
      {"first try, length unstated", kNothing, Ended(Whole(200, -1, kTag), CURLE_OK, -1, 500),
       Step::Fail, CURLE_WEIRD_SERVER_REPLY, bvhttptools::kUnstatedLength, 500, kTag, false},
      {"first try, odd status", kNothing, Ended(Whole(203, 10, kTag), CURLE_OK, 10, 10),
       Step::Fail, CURLE_HTTP_RETURNED_ERROR, "unexpected HTTP status 203", 0, "", false},
      // No validator: the bytes on disk cannot be continued.
      {"no validator", kNothing, Ended(Whole(200, 1000, ""), CURLE_PARTIAL_FILE, 1000, 500),
       Step::Fail, CURLE_PARTIAL_FILE, nullptr, 0, "", false},
      // 416: the server cannot resume; start over once.
      {"416", kHalf, Ended(Whole(416, 0, ""), CURLE_HTTP_RETURNED_ERROR, -1, 0),
       Step::StartOver, CURLE_HTTP_RETURNED_ERROR, nullptr, 0, "", true},
      {"range error", kHalf, Ended(Whole(0, -1, ""), CURLE_RANGE_ERROR, -1, 0),
       Step::StartOver, CURLE_RANGE_ERROR, nullptr, 0, "", true},
      {"416 without bytes on disk", kNothing, Ended(Whole(416, 0, ""), CURLE_HTTP_RETURNED_ERROR, -1, 0),
       Step::Fail, CURLE_HTTP_RETURNED_ERROR, nullptr, 0, "", false},
      {"416 once more", kNothingRefused,
       Ended(Whole(416, 0, ""), CURLE_HTTP_RETURNED_ERROR, -1, 300),
       Step::Fail, CURLE_HTTP_RETURNED_ERROR, nullptr, 0, "", true},
      // A 416 naming the bytes on disk as the whole: complete, from its header on.
      {"416, all on disk", KnownResource{kTag, true, 400, 400, false},
       Ended(Unsatisfied(400, kTag), CURLE_WRITE_ERROR, -1, 0), Step::Complete, CURLE_OK, "", 0, "", false},
      {"416, all on disk, header", KnownResource{kTag, true, -1, 400, false}, Header(Unsatisfied(400, "")),
       Step::Complete, CURLE_OK, "", 0, "", false},
      {"416, all on disk, other tag shown", KnownResource{kTag, true, 400, 400, false},
       Ended(Unsatisfied(400, kOtherTag), CURLE_HTTP_RETURNED_ERROR, -1, 0),
       Step::StartOver, CURLE_HTTP_RETURNED_ERROR, nullptr, 0, "", true},
      {"416, another size", KnownResource{kTag, true, 400, 400, false},
       Ended(Unsatisfied(500, ""), CURLE_HTTP_RETURNED_ERROR, -1, 0),
       Step::StartOver, CURLE_HTTP_RETURNED_ERROR, nullptr, 0, "", true},
      {"416, short of the size remembered", kHalf, Ended(Unsatisfied(400, ""), CURLE_HTTP_RETURNED_ERROR, -1, 0),
       Step::StartOver, CURLE_HTTP_RETURNED_ERROR, nullptr, 0, "", true},
      // A range short of the total its Content-Range names is not the end.
      {"range short of its total", kChunkedCut,
       Ended(Ranged(1000, 1999, 10000, 1000), CURLE_OK, 1000, 1000),
       Step::Fail, CURLE_PARTIAL_FILE, "received 2000 of 10000 bytes", 2000, kTag, false},
      // A body longer than its range: no start past the total, no more ranges.
      {"body past the range", kEightOf21, Ended(Ranged(8, 20, 21, -1), CURLE_OK, -1, 100),
       Step::Fail, CURLE_PARTIAL_FILE, "received 108 of 21 bytes", 0, "", false},
      {"body past the range, cut at its end", kEightOf21,
       Overran(Ended(Ranged(8, 20, 21, -1), CURLE_WRITE_ERROR, -1, 13)),
       Step::StartOver, CURLE_RANGE_ERROR, nullptr, 0, "", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Decision decision = Decide(row.known, row.result);
    EXPECT_EQ(static_cast<int>(decision.step), static_cast<int>(row.step));
    EXPECT_EQ(decision.code, row.code);
    if (row.reason != nullptr) {
      EXPECT_EQ(decision.reason, row.reason);
    }
    // What follows a finished or continuing try is not a next try.
    if (row.step == Step::Complete || row.step == Step::Continue) continue;
    EXPECT_EQ(decision.next.onDisk, row.nextOnDisk);
    EXPECT_EQ(decision.next.validator, row.nextValidator);
    // Entity tags are quoted, dates are not.
    if (!row.nextValidator.empty()) {
      EXPECT_EQ(decision.next.validatorIsTag, row.nextValidator[0] == '"');
    }
    EXPECT_EQ(decision.next.rangeRefused, row.nextRefused);
    if (decision.next.onDisk == 0) {
      EXPECT_EQ(decision.next.fullSize, -1);
    }
  }
}

// Writing stops at the range's last byte, or at the total when nothing
// nearer bounds it.
TEST(ResumeDecision, WriteBound) {
  const struct {
    KnownResource known;
    ResponseInfo response;
    curl_off_t bound;
  } rows[] = {
      {kEightOf21, Ranged(8, 20, 21, -1), 21},
      {kChunkedCut, Ranged(1000, 1999, 10000, 1000), 2000},
      {kChunkedCut, Partial(1000, 10000, -1, kTag), 10000},
      {kHalf, Ranged(400, 2000, 3000, -1), 1000},
      {kNothing, Whole(200, 1000, kTag), -1},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(bvhttptools::WriteBound(row.known, row.response), row.bound);
  }
  // The total a range names binds the next try too.
  Decision decision = Decide(kChunkedCut, Ended(Ranged(1000, 1999, 10000, 1000), CURLE_OK, 1000, 1000));
  EXPECT_EQ(decision.next.fullSize, 10000);
}

// ---- a leftover and its record ----------------------------------------------

// What the upgrader's splice test does not show: a .part shorter than when
// its record was written, or a record of the older form, is not continued.
TEST(Leftover, NotContinuedSaysWhyAndLeavesNothing) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() /
                       ("leftover-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  const std::string part = "Setup.exe.part", record = bvhttptools::RecordNameOf(part), url = "https://example.test/";
  platform::Folder folder;
  const struct {
    const char* why;
    std::function<void()> spoil;
  } rows[] = {
      {"it is not the file its record was made for", [&] { fs::resize_file(dir / part, 4); }},
      {"its record is of an older form",
       [&] { ASSERT_TRUE(folder.CreateNew(record).Write("brisvane-resume 1\nurl 0\n", 24)); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    fs::create_directories(dir);
    ASSERT_TRUE(folder.Open(dir.string(), {}, false));
    platform::HeldFile file = folder.CreateNew(part);
    ASSERT_TRUE(file.Write("0123456789", 10));
    ASSERT_TRUE(bvhttptools::KeepResumeRecord(folder, file, part, url, kHalf, false));
    file.Close();
    row.spoil();
    KnownResource found;
    std::string why;
    EXPECT_FALSE(bvhttptools::TakeLeftover(folder, part, url, false, &found, &why).valid());
    EXPECT_EQ(why, row.why);
    EXPECT_FALSE(fs::exists(dir / part) || fs::exists(dir / record));
    folder.Close();
    fs::remove_all(dir);
  }
}

}  // namespace
