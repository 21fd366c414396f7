// A strict reader of the report's markup for tests: the report is written so that it is
// well-formed XML as well as HTML5, and this reader refuses anything else (an unclosed or
// misnested element, an unquoted or repeated attribute, a bare < or &, an unknown entity, bytes
// that are not UTF-8). It returns a small tree for the structural checks.
#ifndef TALVEN_TESTS_HOST_XML_TREE_H
#define TALVEN_TESTS_HOST_XML_TREE_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace xml_tree {

struct Element {
  std::string name;
  std::map<std::string, std::string> attributes;  // values with references resolved
  std::vector<std::unique_ptr<Element>> children;
  std::string text;  // all character data directly inside, references resolved

  std::string attribute(const std::string& key) const {
    auto it = attributes.find(key);
    return it == attributes.end() ? std::string() : it->second;
  }
  bool has_class(const std::string& c) const {
    const std::string all = " " + attribute("class") + " ";
    return all.find(" " + c + " ") != std::string::npos;
  }
  // The text of this element and every descendant, in document order.
  std::string all_text() const {
    std::string out = text_before_children_;
    for (size_t i = 0; i < children.size(); ++i) {
      out += children[i]->all_text();
      out += tails_[i];
    }
    return out;
  }
  // Every descendant (not this element) for which `match` holds, in document order.
  std::vector<const Element*> find(const std::function<bool(const Element&)>& match) const {
    std::vector<const Element*> out;
    for (const auto& child : children) {
      if (match(*child)) out.push_back(child.get());
      for (const Element* e : child->find(match)) out.push_back(e);
    }
    return out;
  }
  std::vector<const Element*> find(const std::string& tag) const {
    return find([&](const Element& e) { return e.name == tag; });
  }
  std::vector<const Element*> find(const std::string& tag, const std::string& cls) const {
    return find([&](const Element& e) { return e.name == tag && e.has_class(cls); });
  }

  std::string text_before_children_;
  std::vector<std::string> tails_;  // text after each child
};

class Parser {
 public:
  explicit Parser(std::string_view s) : s_(s) {}

  // The root element, or nullopt with error() set. An optional <!DOCTYPE html> may come first.
  std::unique_ptr<Element> parse() {
    if (!valid_utf8()) return nullptr;
    skip_space();
    if (s_.substr(at_, 9) == "<!DOCTYPE") {
      const size_t end = s_.find('>', at_);
      if (end == std::string_view::npos) return fail("unterminated DOCTYPE");
      at_ = end + 1;
    }
    skip_misc();
    if (at_ >= s_.size() || s_[at_] != '<') return fail("no root element");
    auto root = element();
    if (!root) return nullptr;
    skip_misc();
    if (at_ != s_.size()) return fail("content after the root element");
    return root;
  }
  const std::string& error() const { return error_; }

 private:
  std::nullptr_t fail(const std::string& why) {
    if (error_.empty()) error_ = why + " at byte " + std::to_string(at_);
    return nullptr;
  }
  bool valid_utf8() {
    for (size_t i = 0; i < s_.size();) {
      const auto b = static_cast<unsigned char>(s_[i]);
      size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
      if (n == 0 || i + n > s_.size()) {
        at_ = i;
        fail("invalid UTF-8");
        return false;
      }
      if (b < 0x20 && b != '\t' && b != '\n' && b != '\r') {
        at_ = i;
        fail("control character");
        return false;
      }
      for (size_t k = 1; k < n; ++k) {
        if ((static_cast<unsigned char>(s_[i + k]) & 0xC0) != 0x80) {
          at_ = i;
          fail("invalid UTF-8");
          return false;
        }
      }
      i += n;
    }
    return true;
  }
  void skip_space() {
    while (at_ < s_.size() &&
           (s_[at_] == ' ' || s_[at_] == '\n' || s_[at_] == '\t' || s_[at_] == '\r')) {
      ++at_;
    }
  }
  void skip_misc() {
    for (;;) {
      skip_space();
      if (s_.substr(at_, 4) != "<!--") return;
      const size_t end = s_.find("-->", at_);
      if (end == std::string_view::npos) return;
      at_ = end + 3;
    }
  }
  static bool name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == ':' || c == '.';
  }
  std::string name() {
    const size_t start = at_;
    while (at_ < s_.size() && name_char(s_[at_])) ++at_;
    return std::string(s_.substr(start, at_ - start));
  }
  // Character data up to the next '<', with references resolved.
  std::optional<std::string> chars(char stop) {
    std::string out;
    while (at_ < s_.size() && s_[at_] != stop) {
      const char c = s_[at_];
      if (c == '<') {
        fail("bare < in an attribute value");
        return std::nullopt;
      }
      if (c != '&') {
        out += c;
        ++at_;
        continue;
      }
      const size_t end = s_.find(';', at_);
      if (end == std::string_view::npos || end - at_ > 10) {
        fail("bare &");
        return std::nullopt;
      }
      const std::string_view ref = s_.substr(at_ + 1, end - at_ - 1);
      if (ref == "amp")
        out += '&';
      else if (ref == "lt")
        out += '<';
      else if (ref == "gt")
        out += '>';
      else if (ref == "quot")
        out += '"';
      else if (ref == "apos")
        out += '\'';
      else if (!ref.empty() && ref[0] == '#') {
        const bool hex = ref.size() > 1 && ref[1] == 'x';
        const std::string digits(ref.substr(hex ? 2 : 1));
        if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF"
                                                           : "0123456789") != std::string::npos) {
          fail("bad character reference");
          return std::nullopt;
        }
        const unsigned long code = std::stoul(digits, nullptr, hex ? 16 : 10);
        if (code >= 0x80 || code < 0x20) {  // the report needs only ASCII references
          fail("unexpected character reference");
          return std::nullopt;
        }
        out += static_cast<char>(code);
      } else {
        fail("unknown entity &" + std::string(ref) + ";");
        return std::nullopt;
      }
      at_ = end + 1;
    }
    return out;
  }
  std::unique_ptr<Element> element() {
    ++at_;  // '<'
    auto e = std::make_unique<Element>();
    e->name = name();
    if (e->name.empty()) return fail("element without a name");
    for (;;) {
      const size_t before = at_;
      skip_space();
      if (at_ >= s_.size()) return fail("unterminated start tag <" + e->name);
      if (s_.substr(at_, 2) == "/>") {
        at_ += 2;
        return e;
      }
      if (s_[at_] == '>') {
        ++at_;
        break;
      }
      if (at_ == before) return fail("attributes must be separated by blanks");
      const std::string key = name();
      if (key.empty()) return fail("bad attribute in <" + e->name);
      if (at_ >= s_.size() || s_[at_] != '=') return fail("attribute " + key + " has no value");
      ++at_;
      if (at_ >= s_.size() || (s_[at_] != '"' && s_[at_] != '\'')) {
        return fail("unquoted value of attribute " + key);
      }
      const char quote = s_[at_++];
      auto value = chars(quote);
      if (!value) return nullptr;
      if (at_ >= s_.size()) return fail("unterminated attribute value");
      ++at_;
      if (!e->attributes.emplace(key, *value).second) return fail("attribute " + key + " twice");
    }
    std::string* sink = &e->text_before_children_;
    for (;;) {
      auto text = chars('<');
      if (!text) return nullptr;
      e->text += *text;
      *sink += *text;
      if (at_ >= s_.size()) return fail("<" + e->name + "> is not closed");
      if (s_.substr(at_, 4) == "<!--") {
        const size_t end = s_.find("-->", at_);
        if (end == std::string_view::npos) return fail("unterminated comment");
        at_ = end + 3;
        continue;
      }
      if (s_.substr(at_, 2) == "</") {
        at_ += 2;
        const std::string closing = name();
        skip_space();
        if (closing != e->name || at_ >= s_.size() || s_[at_] != '>') {
          return fail("</" + closing + "> closes <" + e->name + ">");
        }
        ++at_;
        return e;
      }
      auto child = element();
      if (!child) return nullptr;
      e->children.push_back(std::move(child));
      e->tails_.emplace_back();
      sink = &e->tails_.back();
    }
  }

  std::string_view s_;
  size_t at_ = 0;
  std::string error_;
};

}  // namespace xml_tree

#endif  // TALVEN_TESTS_HOST_XML_TREE_H
