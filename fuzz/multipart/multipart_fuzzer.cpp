// The first line of the input is the request's content type, the rest its body.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "server/multipart_form.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto lf = input.find('\n');
  const std::string_view contentType = input.substr(0, lf);
  const std::string_view body = lf == std::string_view::npos ? std::string_view() : input.substr(lf + 1);
  try {
    const auto form = geomuxer::MultipartForm::parse(contentType, body, {.maxBodySize = 64 * 1024, .maxParts = 64});
    for (const auto& field : form.fields()) {
      // Values come trimmed of control characters and blanks.
      if (!field.value.empty() && (static_cast<unsigned char>(field.value.front()) < 33 ||
                                   static_cast<unsigned char>(field.value.back()) < 33))
        __builtin_trap();
    }
  } catch (const geomuxer::MultipartError&) {
  }
  return 0;
}
