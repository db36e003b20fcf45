// SPDX-License-Identifier: MIT
#include "nat/upnp_xml.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace brelvane {
namespace {

constexpr std::array<const char*, 13> kErrorTexts = {
    "No error",
    "Warning: Unmatched end tag",
    "Error: No XML data",
    "Error: First token not start tag",
    "Error: Missing start tag name",
    "Error: Missing end tag name",
    "Error: Unmatched quote",
    "Error: Unmatched end tag",
    "Error: Unexpected token found",
    "Error: Invalid tag found",
    "Error: No elements found",
    "Error: File not found",
    "Error: First Tag not found",
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Characters that may open a name: letters, '_', ':' and every byte of a
// multi-byte UTF-8 sequence.
bool IsNameStart(char c) {
  auto u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u == ':' || u >= 0x80;
}

bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// `wanted` without a prefix also matches the local part of a prefixed name.
bool NameMatches(std::string_view element, std::string_view wanted) {
  if (EqualNoCase(element, wanted)) return true;
  if (wanted.find(':') != std::string_view::npos) return false;
  size_t colon = element.rfind(':');
  return colon != std::string_view::npos && EqualNoCase(element.substr(colon + 1), wanted);
}

// Appends `raw` with the five predefined entities decoded.
void AppendDecoded(std::string_view raw, std::string* out, std::string* warning) {
  static constexpr struct {
    std::string_view name;
    char c;
  } kEntities[] = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
  constexpr size_t kLongestName = 10;  // the reach of an unknown entity's report
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '&') {
      out->push_back(raw[i]);
      continue;
    }
    size_t semi = raw.find(';', i + 1);
    if (semi != std::string_view::npos && semi - i - 1 <= kLongestName) {
      std::string_view name = raw.substr(i + 1, semi - i - 1);
      auto known = std::find_if(std::begin(kEntities), std::end(kEntities),
                                [&](const auto& e) { return e.name == name; });
      if (known != std::end(kEntities)) {
        out->push_back(known->c);
        i = semi;
        continue;
      }
    }
    if (warning != nullptr && warning->empty()) {
      size_t end = semi != std::string_view::npos && semi - i - 1 <= kLongestName
                       ? semi + 1
                       : std::min(raw.size(), i + 1 + kLongestName);
      *warning = "unknown escape character: '&" + std::string(raw.substr(i + 1, end - i - 1)) + "'";
    }
    out->push_back('&');
  }
}

}  // namespace

const char* XmlErrorText(int code) {
  if (code < 0 || static_cast<size_t>(code) >= kErrorTexts.size()) return "Unknown";
  return kErrorTexts[static_cast<size_t>(code)];
}

// One pass over the text.  Markup is recognised at each '<'; everything else
// is text, kept only inside elements.  The stack holds the open elements,
// with the document node at its bottom.
class XmlDocument::Parser {
 public:
  explicit Parser(XmlDocument* doc) : doc_(*doc), text_(doc->text_) {}

  void Run() {
    std::vector<int> open = {0};
    size_t at = 0;
    while (doc_.error_ < kXmlNoData && !done_) {
      size_t lt = text_.find('<', at);
      AddText(open.back(), at, (lt == std::string_view::npos ? text_.size() : lt) - at, false);
      if (lt == std::string_view::npos) break;
      at = lt;
      if (Starts(at, "<!--")) {
        at = SkipPast(at, "-->");
      } else if (Starts(at, "<![CDATA[")) {
        size_t end = text_.find("]]>", at + 9);
        if (end == std::string_view::npos) {
          Fail(kXmlInvalidTag, at);
        } else {
          AddText(open.back(), at + 9, end - at - 9, true);
          at = end + 3;
        }
      } else if (Starts(at, "<!")) {
        at = SkipDeclaration(at);
      } else if (Starts(at, "<?")) {
        at = SkipPast(at, "?>");
      } else if (Starts(at, "</")) {
        at = EndTag(at, &open);
      } else {
        at = StartTag(at, &open);
      }
    }
    if (doc_.error_ >= kXmlNoData) return;
    if (doc_.nodes_.size() == 1) {
      bool blank = std::all_of(text_.begin(), text_.end(), IsSpace);
      Fail(blank ? kXmlNoData : kXmlNoElements, text_.size());
      return;
    }
    if (!done_ && open.size() > 1) Fail(kXmlUnmatchedEndTagWarning, text_.size());
  }

 private:
  bool Starts(size_t at, std::string_view what) const {
    return text_.substr(at, what.size()) == what;
  }

  void Fail(int code, size_t at) {
    if (doc_.error_ >= code && doc_.error_ != kXmlNoError) return;  // keep the first error
    doc_.error_ = code;
    size_t newline = at == 0 ? std::string_view::npos : text_.rfind('\n', at - 1);
    size_t line_start = newline == std::string_view::npos ? 0 : newline + 1;
    doc_.line_ = 1 + static_cast<int>(std::count(text_.begin(), text_.begin() + at, '\n'));
    doc_.column_ = static_cast<int>(at - line_start) + 1;
  }

  size_t SkipPast(size_t at, std::string_view end) {
    size_t found = text_.find(end, at + 2);
    if (found == std::string_view::npos) {
      Fail(kXmlInvalidTag, at);
      return text_.size();
    }
    return found + end.size();
  }

  // <!DOCTYPE ...> and the like, with an internal subset in brackets.
  size_t SkipDeclaration(size_t at) {
    int brackets = 0;
    char quote = 0;
    for (size_t i = at + 2; i < text_.size(); ++i) {
      char c = text_[i];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '[') {
        ++brackets;
      } else if (c == ']') {
        --brackets;
      } else if (c == '>' && brackets <= 0) {
        return i + 1;
      }
    }
    Fail(kXmlInvalidTag, at);
    return text_.size();
  }

  size_t NameEnd(size_t at) const {
    while (at < text_.size() && IsNameChar(text_[at])) ++at;
    return at;
  }

  size_t SkipSpace(size_t at) const {
    while (at < text_.size() && IsSpace(text_[at])) ++at;
    return at;
  }

  size_t EndTag(size_t at, std::vector<int>* open) {
    size_t name_at = at + 2;
    size_t name_end =
        name_at < text_.size() && IsNameStart(text_[name_at]) ? NameEnd(name_at) : name_at;
    if (name_end == name_at) {
      Fail(kXmlMissingEndTagName, at);
      return text_.size();
    }
    size_t close = SkipSpace(name_end);
    if (close >= text_.size() || text_[close] != '>') {
      Fail(kXmlUnexpectedToken, close);
      return text_.size();
    }
    std::string_view name = text_.substr(name_at, name_end - name_at);
    size_t depth = open->size();
    while (depth > 1 && !EqualNoCase(doc_.NameOf((*open)[depth - 1]), name)) --depth;
    if (depth <= 1) {
      Fail(doc_.nodes_.size() == 1 ? kXmlFirstTokenNotStartTag : kXmlUnmatchedEndTag, at);
      return text_.size();
    }
    if (depth < open->size()) Fail(kXmlUnmatchedEndTagWarning, at);
    int closed = (*open)[depth - 1];
    open->resize(depth - 1);
    Closed(closed, open->size() == 1);
    return close + 1;
  }

  size_t StartTag(size_t at, std::vector<int>* open) {
    size_t name_at = at + 1;
    if (name_at >= text_.size() || !IsNameStart(text_[name_at])) {
      Fail(kXmlMissingStartTagName, at);
      return text_.size();
    }
    size_t name_end = NameEnd(name_at);
    size_t i = name_end;
    bool self_closing = false;
    for (;;) {  // attributes, checked for form only
      i = SkipSpace(i);
      if (i >= text_.size()) {
        Fail(kXmlUnexpectedToken, i);
        return i;
      }
      if (text_[i] == '>') break;
      if (text_[i] == '/' && Starts(i, "/>")) {
        self_closing = true;
        ++i;
        break;
      }
      if (!IsNameStart(text_[i])) {
        Fail(kXmlUnexpectedToken, i);
        return text_.size();
      }
      i = SkipSpace(NameEnd(i));
      if (i < text_.size() && text_[i] == '=') {
        i = SkipSpace(i + 1);
        if (i < text_.size() && (text_[i] == '"' || text_[i] == '\'')) {
          size_t quote_end = text_.find(text_[i], i + 1);
          if (quote_end == std::string_view::npos) {
            Fail(kXmlUnmatchedQuote, i);
            return text_.size();
          }
          i = quote_end + 1;
        } else {  // unquoted value, forgiven
          while (i < text_.size() && !IsSpace(text_[i]) && text_[i] != '>') ++i;
        }
      }
    }
    if (open->size() > static_cast<size_t>(kMaxDepth) || doc_.nodes_.size() > kMaxElements) {
      Fail(kXmlInvalidTag, at);
      return text_.size();
    }
    int index = static_cast<int>(doc_.nodes_.size());
    Node node;
    node.name_at = static_cast<uint32_t>(name_at);
    node.name_length = static_cast<uint32_t>(name_end - name_at);
    doc_.nodes_.push_back(node);
    Node& parent = doc_.nodes_[static_cast<size_t>(open->back())];
    if (parent.last_child < 0) {
      parent.first_child = index;
    } else {
      doc_.nodes_[static_cast<size_t>(parent.last_child)].next_sibling = index;
    }
    parent.last_child = index;
    if (self_closing) {
      Closed(index, open->size() == 1);
    } else {
      open->push_back(index);
    }
    return i + 1;
  }

  // The wanted root element is complete: nothing after it matters.
  void Closed(int index, bool top_level) {
    if (top_level && NameMatches(doc_.NameOf(index), doc_.root_name_)) done_ = true;
  }

  void AddText(int node_index, size_t at, size_t length, bool cdata) {
    if (node_index == 0 || length == 0) return;
    int index = static_cast<int>(doc_.texts_.size());
    doc_.texts_.push_back(
        TextPiece{static_cast<uint32_t>(at), static_cast<uint32_t>(length), cdata, -1});
    Node& node = doc_.nodes_[static_cast<size_t>(node_index)];
    if (node.last_text < 0) {
      node.first_text = index;
    } else {
      doc_.texts_[static_cast<size_t>(node.last_text)].next = index;
    }
    node.last_text = index;
  }

  XmlDocument& doc_;
  std::string_view text_;
  bool done_ = false;
};

int XmlDocument::Parse(std::string_view text, std::string_view root_name) {
  text_.assign(text.substr(0, kMaxInputBytes));
  root_name_.assign(root_name);
  nodes_.assign(1, Node{});
  texts_.clear();
  root_ = XmlElement();
  error_ = kXmlNoError;
  line_ = column_ = 0;
  Parser(this).Run();
  if (error_ >= kXmlNoData) return error_;
  for (int i = nodes_[0].first_child; i >= 0; i = nodes_[static_cast<size_t>(i)].next_sibling) {
    if (NameMatches(NameOf(i), root_name_)) {
      root_ = XmlElement(this, i);
      return error_;
    }
  }
  error_ = kXmlFirstTagNotFound;
  line_ = column_ = 0;
  return error_;
}

std::string XmlDocument::ErrorReport(std::string_view source) const {
  std::string out = "XML Parsing error inside file '" + std::string(source) + "'.\nError: ";
  out += XmlErrorText(error_);
  out += "\nAt line " + std::to_string(line_) + ", column " + std::to_string(column_) + ".\n";
  out += "Tag is '" + root_name_ + "'.\n";
  return out;
}

std::string_view XmlDocument::NameOf(int index) const {
  const Node& node = nodes_[static_cast<size_t>(index)];
  return std::string_view(text_).substr(node.name_at, node.name_length);
}

std::string_view XmlElement::name() const {
  return empty() ? std::string_view() : doc_->NameOf(index_);
}

XmlElement XmlElement::Child(std::string_view name, int n) const {
  if (empty() || n < 0) return XmlElement();
  const auto& nodes = doc_->nodes_;
  for (int i = nodes[static_cast<size_t>(index_)].first_child; i >= 0;
       i = nodes[static_cast<size_t>(i)].next_sibling) {
    if (NameMatches(doc_->NameOf(i), name) && n-- == 0) return XmlElement(doc_, i);
  }
  return XmlElement();
}

int XmlElement::ChildCount(std::string_view name) const {
  if (empty()) return 0;
  int count = 0;
  const auto& nodes = doc_->nodes_;
  for (int i = nodes[static_cast<size_t>(index_)].first_child; i >= 0;
       i = nodes[static_cast<size_t>(i)].next_sibling) {
    if (NameMatches(doc_->NameOf(i), name)) ++count;
  }
  return count;
}

std::string XmlElement::Text(std::string* warning) const {
  std::string out;
  if (empty()) return out;
  if (warning != nullptr) warning->clear();
  std::string_view text = doc_->text_;
  for (int i = doc_->nodes_[static_cast<size_t>(index_)].first_text; i >= 0;
       i = doc_->texts_[static_cast<size_t>(i)].next) {
    const XmlDocument::TextPiece& piece = doc_->texts_[static_cast<size_t>(i)];
    std::string_view raw = text.substr(piece.at, piece.length);
    if (piece.cdata) {
      out.append(raw);
    } else {
      AppendDecoded(raw, &out, warning);
    }
  }
  size_t first = 0;
  while (first < out.size() && IsSpace(out[first])) ++first;
  size_t last = out.size();
  while (last > first && IsSpace(out[last - 1])) --last;
  return out.substr(first, last - first);
}

}  // namespace brelvane
