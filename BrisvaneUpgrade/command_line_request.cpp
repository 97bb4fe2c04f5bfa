#include "command_line_request.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "request_protocol.h"

namespace {

CommandLineRequest Malformed(std::string problem) {
  CommandLineRequest request;
  request.kind = CommandLineRequest::Kind::kMalformed;
  request.problem = std::move(problem);
  return request;
}

// The whole text as one decimal number: no sign, no space, nothing after.
bool ReadId(const std::string& text, std::uint64_t* id) {
  const char* end = text.data() + text.size();
  const std::from_chars_result read = std::from_chars(text.data(), end, *id);
  return !text.empty() && read.ec == std::errc() && read.ptr == end;
}

}  // namespace

CommandLineRequest ReadCommandLineRequest(const std::vector<std::string>& arguments) {
  const auto option = std::find(arguments.begin(), arguments.end(), platform::kRequestOption);
  if (option == arguments.end()) return CommandLineRequest{};
  // Only the whole form is taken: with anything around it, a URL could not
  // be told from an option Qt would act on.
  if (arguments.size() != 4 || option != arguments.begin() + 1) {
    return Malformed("the command line is not \"--request <id> <url>\" (" +
                     std::to_string(arguments.size() - 1) + " arguments)");
  }
  CommandLineRequest request;
  if (!ReadId(arguments[2], &request.requestId)) {
    return Malformed("the request id is not a decimal number of at most 64 bits");
  }
  request.kind = CommandLineRequest::Kind::kRequest;
  request.url = arguments[3];
  return request;
}
