// SPDX-License-Identifier: MIT
#include "catalogue/xml_reader.h"

namespace brelvane {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool EndsName(char c) {
  return IsSpace(c) || c == '/' || c == '>' || c == '=' || c == '<' || c == '"' || c == '\'' ||
         c == '&';
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

void AppendUtf8(uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace

XmlReader::XmlReader(std::string_view text) : text_(text) {
  if (text_.substr(0, 3) == "\xEF\xBB\xBF") {
    utf8_ = true;
    at_ = 3;
  }
}

XmlReader::Event XmlReader::Fail() {
  failed_ = true;
  return Event::kError;
}

bool XmlReader::SkipPast(std::string_view terminator) {
  const size_t end = text_.find(terminator, at_);
  if (end == std::string_view::npos) return false;
  at_ = end + terminator.size();
  return true;
}

bool XmlReader::ReadName(std::string_view* name) {
  const size_t begin = at_;
  while (at_ < text_.size() && !EndsName(text_[at_])) ++at_;
  *name = text_.substr(begin, at_ - begin);
  return !name->empty();
}

const char* XmlReader::Attribute(std::string_view name) const {
  for (size_t i = 0; i < attribute_count_; ++i) {
    if (attributes_[i].name == name) return attributes_[i].value.c_str();
  }
  return nullptr;
}

XmlReader::Event XmlReader::Next() {
  if (failed_) return Event::kError;
  if (pending_end_) {
    pending_end_ = false;
    name_ = open_.back();
    open_.pop_back();
    return Event::kEnd;
  }
  for (;;) {
    const size_t lt = text_.find('<', at_);
    const std::string_view between =
        text_.substr(at_, (lt == std::string_view::npos ? text_.size() : lt) - at_);
    // Outside the document element only white space may stand.
    if (open_.empty()) {
      for (const char c : between) {
        if (!IsSpace(c)) return Fail();
      }
    }
    if (lt == std::string_view::npos) {
      at_ = text_.size();
      if (!open_.empty() || !seen_element_) return Fail();
      return Event::kDone;
    }
    at_ = lt;
    const std::string_view rest = text_.substr(at_);
    if (rest.starts_with("<?")) {
      const size_t body = at_ + 2;
      if (!SkipPast("?>")) return Fail();
      if (!seen_element_) NoteDeclaration(text_.substr(body, at_ - 2 - body));
    } else if (rest.starts_with("<!--")) {
      at_ += 4;
      if (!SkipPast("-->")) return Fail();
    } else if (rest.starts_with("<![CDATA[")) {
      if (open_.empty()) return Fail();
      at_ += 9;
      if (!SkipPast("]]>")) return Fail();
    } else if (rest.starts_with("<!")) {
      if (!SkipPast(">")) return Fail();
    } else if (rest.starts_with("</")) {
      at_ += 2;
      if (!ReadEndTag()) return Fail();
      return Event::kEnd;
    } else {
      ++at_;
      if (!ReadStartTag()) return Fail();
      return Event::kStart;
    }
  }
}

bool XmlReader::ReadEndTag() {
  std::string_view name;
  if (!ReadName(&name) || open_.empty() || open_.back() != name) return false;
  while (at_ < text_.size() && IsSpace(text_[at_])) ++at_;
  if (at_ == text_.size() || text_[at_] != '>') return false;
  ++at_;
  name_ = name;
  open_.pop_back();
  return true;
}

bool XmlReader::ReadStartTag() {
  std::string_view name;
  if (!ReadName(&name)) return false;
  attribute_count_ = 0;
  for (;;) {
    while (at_ < text_.size() && IsSpace(text_[at_])) ++at_;
    if (at_ == text_.size()) return false;
    if (text_[at_] == '>') {
      ++at_;
      break;
    }
    if (text_[at_] == '/') {
      if (at_ + 1 == text_.size() || text_[at_ + 1] != '>') return false;
      at_ += 2;
      pending_end_ = true;
      break;
    }
    std::string_view attribute;
    if (!ReadName(&attribute) || Attribute(attribute) != nullptr) return false;
    while (at_ < text_.size() && IsSpace(text_[at_])) ++at_;
    if (at_ == text_.size() || text_[at_] != '=') return false;
    ++at_;
    while (at_ < text_.size() && IsSpace(text_[at_])) ++at_;
    if (at_ == text_.size() || (text_[at_] != '"' && text_[at_] != '\'')) return false;
    const char quote = text_[at_++];
    const size_t close = text_.find(quote, at_);
    if (close == std::string_view::npos) return false;
    if (attribute_count_ == attributes_.size()) attributes_.emplace_back();
    AttributeEntry& entry = attributes_[attribute_count_];
    entry.name = attribute;
    if (!DecodeValue(text_.substr(at_, close - at_), &entry.value)) return false;
    ++attribute_count_;
    at_ = close + 1;
  }
  seen_element_ = true;
  name_ = name;
  open_.push_back(name);
  return true;
}

bool XmlReader::DecodeValue(std::string_view raw, std::string* value) const {
  value->clear();
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c != '&') {
      value->push_back(c);
      continue;
    }
    const std::string_view after = raw.substr(i + 1);
    const size_t semicolon = after.find(';');
    const std::string_view entity = after.substr(0, semicolon);
    if (!entity.empty() && entity[0] == '#') {
      if (semicolon == std::string_view::npos) return false;
      const bool hex = entity.size() > 1 && entity[1] == 'x';
      if (!AppendReference(entity.substr(hex ? 2 : 1), hex, value)) return false;
      i += entity.size() + 1;
      continue;
    }
    static constexpr struct {
      std::string_view name;
      char c;
    } kNamed[] = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    bool named = false;
    if (semicolon != std::string_view::npos) {
      for (const auto& [name, replacement] : kNamed) {
        if (entity == name) {
          value->push_back(replacement);
          i += entity.size() + 1;
          named = true;
          break;
        }
      }
    }
    // An unknown entity stands for itself.
    if (!named) value->push_back('&');
  }
  const size_t nul = value->find('\0');
  if (nul != std::string::npos) value->resize(nul);
  return true;
}

bool XmlReader::AppendReference(std::string_view digits, bool hex, std::string* value) const {
  if (digits.empty()) return false;
  uint32_t code = 0;
  for (const char c : digits) {
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    code = code * (hex ? 16 : 10) + digit;
    if (code > 0x10FFFF) return false;
  }
  if (utf8_) {
    AppendUtf8(code, value);
  } else if (code < 256) {
    value->push_back(static_cast<char>(code));
  } else {
    return false;
  }
  return true;
}

void XmlReader::NoteDeclaration(std::string_view body) {
  if (utf8_ || !body.starts_with("xml") || (body.size() > 3 && !IsSpace(body[3]))) return;
  const size_t key = body.find("encoding");
  if (key == std::string_view::npos) {
    utf8_ = true;
    return;
  }
  size_t at = key + 8;
  while (at < body.size() && (IsSpace(body[at]) || body[at] == '=')) ++at;
  if (at == body.size() || (body[at] != '"' && body[at] != '\'')) return;
  const size_t close = body.find(body[at], at + 1);
  if (close == std::string_view::npos) return;
  const std::string_view encoding = body.substr(at + 1, close - at - 1);
  utf8_ = EqualsNoCase(encoding, "UTF-8") || EqualsNoCase(encoding, "UTF8");
}

}  // namespace brelvane
