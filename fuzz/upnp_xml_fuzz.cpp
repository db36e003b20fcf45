// SPDX-License-Identifier: MIT
// The UPnP XML reader on a whole gateway answer: parsed for a root the input
// names ("root\nanswer"), then walked through every child name that occurs in
// the text, reading each element's text.
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "nat/upnp_xml.h"

using brelvane::fuzz::Require;

namespace {

// Visits `element` and its children named like the SOAP and description
// elements the updater looks for, down to the reader's own depth bound.
void Walk(const brelvane::XmlElement& element, int depth) {
  static const char* const kNames[] = {"device", "deviceList", "service", "serviceList",
                                       "Body", "NewExternalIPAddress", "a"};
  std::string warning;
  (void)element.Text(&warning);
  if (depth > brelvane::XmlDocument::kMaxDepth) return;
  for (const char* name : kNames) {
    const int count = element.ChildCount(name);
    Require(count >= 0 && static_cast<size_t>(count) <= brelvane::XmlDocument::kMaxElements,
            "child count within the element bound");
    for (int i = 0; i < count && i < 4; ++i) Walk(element.Child(name, i), depth + 1);
    Require(element.Child(name, count).empty(), "no child past the count");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t cut = input.find('\n');
  if (cut == std::string_view::npos) return 0;
  brelvane::XmlDocument doc;
  const int error = doc.Parse(input.substr(cut + 1), input.substr(0, cut));
  Require(error == doc.error() && brelvane::XmlErrorText(error) != nullptr, "error code");
  Require(doc.root().empty() == (error > brelvane::kXmlUnmatchedEndTagWarning),
          "a root exactly when the parse succeeded");
  (void)doc.ErrorReport("answer");
  if (!doc.root().empty()) Walk(doc.root(), 0);
  return 0;
}
