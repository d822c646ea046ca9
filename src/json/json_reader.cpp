#include "json/json_reader.h"

#include <algorithm>
#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/src.hpp>
#include <functional>
#include <vector>

#include "util/text.h"

namespace quendal::json {
namespace {

// Keys and values from the document can be of any length and hold line breaks.
std::string quoted(std::string_view text) { return quoted_excerpt(text); }

// The event handler that the parser calls. It keeps the stack of targets; values below a
// skipped key are counted, not delivered.
class Handler {
 public:
  static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);

  // `root_is_array`: the root may be an array (a range of an array's elements).
  explicit Handler(Target& document, bool root_is_array = false)
      : m_document(document), m_root_is_array(root_is_array) {}

  const std::string& fault() const { return m_fault; }

  // Watches `container`: from now on at_element_boundary() tells whether the last event was
  // the end of one of its elements.
  void watch(const Target* container) { m_watched = container; }
  bool at_element_boundary() const {
    return m_at_boundary && m_skip_depth == 0 && !m_skip_next && !m_stack.empty() &&
           m_stack.back() == m_watched;
  }

  bool on_document_begin(boost::system::error_code&) { return true; }
  bool on_document_end(boost::system::error_code&) { return true; }

  bool on_object_begin(boost::system::error_code& ec) { return begin_nested(true, ec); }
  bool on_object_end(std::size_t, boost::system::error_code& ec) { return end_nested(ec); }
  bool on_array_begin(boost::system::error_code& ec) { return begin_nested(false, ec); }
  bool on_array_end(std::size_t, boost::system::error_code& ec) { return end_nested(ec); }

  bool on_key_part(boost::json::string_view s, std::size_t, boost::system::error_code&) {
    m_at_boundary = false;
    if (m_skip_depth == 0) m_buffer.append(s.data(), s.size());
    return true;
  }
  bool on_key(boost::json::string_view s, std::size_t, boost::system::error_code& ec) {
    m_at_boundary = false;
    if (m_skip_depth > 0) return true;
    std::string_view key = whole(s);
    bool skip = false;
    std::string fault = m_stack.back()->on_key(key, skip);
    m_buffer.clear();
    m_skip_next = skip;
    return check(std::move(fault), ec);
  }

  bool on_string_part(boost::json::string_view s, std::size_t, boost::system::error_code&) {
    m_at_boundary = false;
    if (m_skip_depth == 0 && !m_skip_next) m_buffer.append(s.data(), s.size());
    return true;
  }
  bool on_string(boost::json::string_view s, std::size_t, boost::system::error_code& ec) {
    m_at_boundary = false;
    Scalar value;
    value.kind = Scalar::Kind::string;
    if (delivering()) value.text = whole(s);
    const bool result = scalar(value, ec);
    m_buffer.clear();
    return result;
  }

  bool on_number_part(boost::json::string_view, boost::system::error_code&) {
    m_at_boundary = false;
    return true;
  }
  bool on_int64(std::int64_t i, boost::json::string_view, boost::system::error_code& ec) {
    m_at_boundary = false;
    Scalar value;
    value.kind = Scalar::Kind::int64;
    value.int64 = i;
    return scalar(value, ec);
  }
  bool on_uint64(std::uint64_t u, boost::json::string_view, boost::system::error_code& ec) {
    m_at_boundary = false;
    Scalar value;
    value.kind = Scalar::Kind::uint64;
    value.uint64 = u;
    return scalar(value, ec);
  }
  bool on_double(double, boost::json::string_view, boost::system::error_code& ec) {
    m_at_boundary = false;
    Scalar value;
    value.kind = Scalar::Kind::real;
    return scalar(value, ec);
  }
  bool on_bool(bool b, boost::system::error_code& ec) {
    m_at_boundary = false;
    Scalar value;
    value.kind = Scalar::Kind::boolean;
    value.boolean = b;
    return scalar(value, ec);
  }
  bool on_null(boost::system::error_code& ec) {
    m_at_boundary = false;
    Scalar value;
    value.kind = Scalar::Kind::null;
    return scalar(value, ec);
  }
  bool on_comment_part(boost::json::string_view, boost::system::error_code&) {
    m_at_boundary = false;
    return true;
  }
  bool on_comment(boost::json::string_view, boost::system::error_code&) {
    m_at_boundary = false;
    return true;
  }

 private:
  // The complete text of a key or string whose last part is `last`.
  std::string_view whole(boost::json::string_view last) {
    if (m_buffer.empty()) return std::string_view(last.data(), last.size());
    m_buffer.append(last.data(), last.size());
    return m_buffer;
  }

  bool delivering() const { return m_skip_depth == 0 && !m_skip_next && !m_stack.empty(); }

  bool check(std::string fault, boost::system::error_code& ec) {
    if (fault.empty()) return true;
    m_fault = std::move(fault);
    ec = boost::json::error::syntax;
    return false;
  }

  bool scalar(const Scalar& value, boost::system::error_code& ec) {
    if (m_skip_depth > 0) return true;
    if (m_stack.empty()) return check("the document is not a JSON object", ec);
    if (m_skip_next) {
      m_skip_next = false;
      return true;
    }
    return check(m_stack.back()->on_scalar(value), ec);
  }

  bool begin_nested(bool is_object, boost::system::error_code& ec) {
    m_at_boundary = false;
    if (m_skip_depth > 0) {
      ++m_skip_depth;
      return true;
    }
    if (m_stack.empty()) {
      if (!is_object && !m_root_is_array) return check("the document is not a JSON object", ec);
      m_stack.push_back(&m_document);
      return true;
    }
    if (m_skip_next) {
      m_skip_next = false;
      m_skip_depth = 1;
      return true;
    }
    Target* child = nullptr;
    std::string fault = m_stack.back()->on_nested(is_object, child);
    if (!fault.empty()) return check(std::move(fault), ec);
    m_stack.push_back(child);
    return true;
  }

  bool end_nested(boost::system::error_code& ec) {
    m_at_boundary = false;
    if (m_skip_depth > 0) {
      --m_skip_depth;
      m_at_boundary = m_skip_depth == 0 && !m_stack.empty() && m_stack.back() == m_watched;
      return true;
    }
    Target* ended = m_stack.back();
    m_stack.pop_back();
    m_at_boundary = !m_stack.empty() && m_stack.back() == m_watched;
    return check(ended->on_end(), ec);
  }

  Target& m_document;
  bool m_root_is_array = false;
  const Target* m_watched = nullptr;
  bool m_at_boundary = false;
  std::vector<Target*> m_stack;
  std::size_t m_skip_depth = 0;
  bool m_skip_next = false;
  std::string m_buffer;
  std::string m_fault;
};

std::string position_text(std::string_view text, std::size_t offset) {
  if (offset > text.size()) offset = text.size();
  std::size_t line = 1;
  std::size_t column = 1;
  for (std::size_t i = 0; i < offset; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++line;
      column = 1;
    } else if ((c & 0xC0) != 0x80) {
      ++column;
    }
  }
  return " at line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace

std::string Target::on_key(std::string_view, bool& skip) {
  skip = true;
  return {};
}

Result<void> read_document(std::string_view text, Target& document) {
  boost::json::parse_options options;
  options.max_depth = k_max_depth;
  boost::json::basic_parser<Handler> parser(options, document);
  boost::system::error_code ec;
  const std::size_t consumed = parser.write_some(false, text.data(), text.size(), ec);
  if (!ec) {
    // The parser stops at the end of the root value; only JSON white space may follow it.
    const std::size_t rest = text.find_first_not_of(" \t\r\n", consumed);
    if (rest == std::string_view::npos) return {};
    return Failure{"unexpected data after the document" + position_text(text, rest)};
  }
  std::string description = parser.handler().fault();
  if (description.empty()) description = ec.message();
  return Failure{description + position_text(text, consumed)};
}

std::vector<std::size_t> split_points(std::string_view text, std::size_t parts, Container container,
                                      std::size_t min_part) {
  std::vector<std::size_t> points;
  parts = std::min(parts, text.size() / std::max<std::size_t>(min_part, 1));
  if (parts < 2) return points;
  const char next = container == Container::array ? '{' : '"';
  const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  std::size_t from = 0;
  for (std::size_t part = 1; part < parts; ++part) {
    std::size_t at = std::max(from, text.size() / parts * part);
    for (;;) {
      at = text.find('}', at);
      if (at == std::string_view::npos) return points;
      std::size_t i = at + 1;
      while (i < text.size() && is_space(text[i])) ++i;
      if (i < text.size() && text[i] == ',') {
        ++i;
        while (i < text.size() && is_space(text[i])) ++i;
        if (i < text.size() && text[i] == next) break;
      }
      ++at;
    }
    points.push_back(at + 1);
    from = at + 1;
  }
  return points;
}

Result<void> read_document_skipping(std::string_view text, std::size_t skip_begin,
                                    std::size_t skip_end, Target& document, const Target& container,
                                    const std::function<void()>& at_skip) {
  boost::json::parse_options options;
  options.max_depth = k_max_depth;
  boost::json::basic_parser<Handler> parser(options, document);
  parser.handler().watch(&container);
  boost::system::error_code ec;
  (void)parser.write_some(true, text.data(), skip_begin, ec);
  if (ec) return Failure{"fault before the split"};
  if (!parser.handler().at_element_boundary()) return Failure{"no element boundary at the split"};
  at_skip();
  const std::string_view rest = text.substr(skip_end);
  const std::size_t consumed = parser.write_some(false, rest.data(), rest.size(), ec);
  if (ec) return Failure{"fault after the split"};
  if (rest.find_first_not_of(" \t\r\n", consumed) != std::string_view::npos) {
    return Failure{"unexpected data after the document"};
  }
  return {};
}

Result<void> read_range(std::string_view range, Container container, Target& target) {
  // The range is ",e1,e2,...": with its first comma replaced by the opening bracket and the
  // closing one added, it is one array (or object) of its own.
  const std::size_t comma = range.find_first_not_of(" \t\r\n");
  if (comma == std::string_view::npos || range[comma] != ',') return Failure{"no element"};
  boost::json::parse_options options;
  options.max_depth = k_max_depth;
  const bool array = container == Container::array;
  boost::json::basic_parser<Handler> parser(options, target, array);
  boost::system::error_code ec;
  (void)parser.write_some(true, array ? "[" : "{", 1, ec);
  const std::string_view elements = range.substr(comma + 1);
  if (!ec) (void)parser.write_some(true, elements.data(), elements.size(), ec);
  if (!ec) (void)parser.write_some(false, array ? "]" : "}", 1, ec);
  if (ec) return Failure{"fault in the range"};
  return {};
}

std::string RecordTarget::on_key(std::string_view key, bool& skip) {
  for (std::size_t i = 0; i < m_fields.size(); ++i) {
    if (m_fields[i].name != key) continue;
    const std::uint64_t bit = std::uint64_t{1} << i;
    if (m_seen & bit) return "duplicate key " + quoted(key);
    m_seen |= bit;
    m_current = i;
    skip = false;
    return {};
  }
  skip = true;
  return {};
}

std::string RecordTarget::on_end() {
  for (std::size_t i = 0; i < m_fields.size(); ++i) {
    if (m_fields[i].required && !(m_seen & (std::uint64_t{1} << i))) {
      return "missing required key " + quoted(m_fields[i].name);
    }
  }
  return {};
}

std::string RecordTarget::wrong_type(std::string_view what) const {
  return "key " + quoted(field_name()) + " must be " + std::string(what);
}

std::string RecordTarget::read_string(const Scalar& value, std::string& out) const {
  if (value.kind != Scalar::Kind::string) return wrong_type("a string");
  out.assign(value.text);
  return {};
}

std::string RecordTarget::read_optional_string(const Scalar& value,
                                               std::optional<std::string>& out) const {
  if (value.kind == Scalar::Kind::null) {
    out.reset();
    return {};
  }
  if (value.kind != Scalar::Kind::string) return wrong_type("a string or null");
  out.emplace(value.text);
  return {};
}

std::string RecordTarget::read_uint64(const Scalar& value, std::uint64_t& out) const {
  if (value.kind == Scalar::Kind::uint64) {
    out = value.uint64;
    return {};
  }
  if (value.kind == Scalar::Kind::int64 && value.int64 >= 0) {
    out = static_cast<std::uint64_t>(value.int64);
    return {};
  }
  return wrong_type("an integer from 0 to 18446744073709551615");
}

std::string RecordTarget::read_optional_int64(const Scalar& value,
                                              std::optional<std::int64_t>& out) const {
  if (value.kind == Scalar::Kind::null) {
    out.reset();
    return {};
  }
  if (value.kind == Scalar::Kind::int64) {
    out = value.int64;
    return {};
  }
  return wrong_type("a signed 64-bit integer or null");
}

std::string StringListTarget::on_scalar(const Scalar& value) {
  if (value.kind != Scalar::Kind::string) {
    return "elements of " + quoted(m_owner_key) + " must be strings";
  }
  m_out->emplace_back(value.text);
  return {};
}

std::string StringListTarget::on_nested(bool, Target*&) {
  return "elements of " + quoted(m_owner_key) + " must be strings";
}

}  // namespace quendal::json
