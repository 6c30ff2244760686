// Parses arbitrary bytes as an SML document. Whatever parses must write out, read back to the same
// tree, and write out to the same bytes again; whatever does not parse must fail with our error
// type only.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "settings/sml_node.h"

namespace {

bool sameTree(const geomuxer::SmlNode& a, const geomuxer::SmlNode& b) {
  if (a.name() != b.name() || a.value() != b.value() || a.childCount() != b.childCount()) return false;
  if (a.attributes().size() != b.attributes().size()) return false;
  for (std::size_t i = 0; i < a.attributes().size(); ++i) {
    if (a.attributes()[i].name != b.attributes()[i].name || a.attributes()[i].value != b.attributes()[i].value) {
      return false;
    }
  }
  for (std::size_t i = 0; i < a.childCount(); ++i) {
    if (!sameTree(a.child(i), b.child(i))) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  geomuxer::SmlNode doc;
  std::size_t elements = 0;
  try {
    doc.parse(bytes, [&elements](const geomuxer::SmlNode&, std::uint64_t total, std::uint64_t position) {
      if (position > total) std::abort();
      // Stops some parses half-way, so that the abort path is run too.
      return ++elements == 1000 ? geomuxer::SmlProgress::abort : geomuxer::SmlProgress::proceed;
    });
  } catch (const geomuxer::SmlPosError& e) {
    if (e.line() < 1 || e.column() < 1) std::abort();
    return 0;
  }

  const std::string text = doc.asText();
  geomuxer::SmlNode back;
  try {
    back.parse(text);
  } catch (const geomuxer::SmlError&) {
    std::abort();  // we wrote something we cannot read
  }
  if (!sameTree(doc, back) || back.asText() != text || back.docType() != doc.docType()) std::abort();
  return 0;
}
