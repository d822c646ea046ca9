// The typed JSON reader: drives the JSON library's event parser and hands every value to a
// Target that builds a record. Keys that a record does not know are skipped with their values
// (which the parser still validates), a field key given twice or missing fails, and every
// failure is described with the line and column where reading stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/result.h"

namespace quendal::json {

// Nesting deeper than this fails the parse instead of exhausting memory or stack.
inline constexpr std::size_t k_max_depth = 256;

// One JSON value that is not an object or an array.
struct Scalar {
  enum class Kind { null, boolean, string, int64, uint64, real };
  Kind kind = Kind::null;
  bool boolean = false;
  std::string_view text;  // Kind::string only; valid until the handler returns
  std::int64_t int64 = 0;
  std::uint64_t uint64 = 0;
};

// Receives the contents of one JSON object or array. Each function returns an empty string on
// success or the description of the fault (without position); a fault ends the parse.
class Target {
 public:
  virtual ~Target() = default;

  // Objects only: the key of the next member. Set `skip` to ignore the member's value.
  virtual std::string on_key(std::string_view key, bool& skip);

  // The next value (of the member whose key came last, or the next array element).
  virtual std::string on_scalar(const Scalar& value) = 0;

  // The next value is an object (`is_object`) or an array. Store in `child` the target that
  // receives its contents; it must stay alive until its on_end() has returned.
  virtual std::string on_nested(bool is_object, Target*& child) = 0;

  // The object or array has ended.
  virtual std::string on_end() { return {}; }
};

// Reads `text` as one JSON document whose root must be an object, feeding its members to
// `document`. After the root only space, tab, CR and LF may follow. A failure's message is the
// description of the fault followed by " at line L, column C" (both counted from 1, columns in
// characters).
Result<void> read_document(std::string_view text, Target& document);

// ---- Reading the bulk of a document on several threads ----
//
// A document whose bulk is one array or object member (a manifest's "files", a cache's
// "entries") can be read in parts: read_document_skipping reads everything but a stretch of
// that member's elements, and read_range reads each piece of the stretch into targets of its
// own, each on its own thread. The bounds come from split_points, a guess from the look of the
// bytes, which the readings confirm: read_document_skipping fails unless the stretch begins
// right after one of the member's elements, and read_range fails unless its piece holds whole
// elements and nothing else, so a piece that ends inside a string, a nested value or the
// middle of an element never passes. Any failure says nothing about the document, not even
// where: the caller then reads the whole text with read_document, which alone describes faults.

enum class Container { array, object };

// The smallest piece worth a thread of its own.
inline constexpr std::size_t k_min_split_part = std::size_t{1} << 20;

// Up to `parts - 1` offsets in `text`, in ascending order and about text.size() / parts apart,
// each right after a "}" that JSON white space, "," and more white space separate from "{"
// (Container::array) or "\"" (Container::object): where, by the look of the bytes, one element
// ends and the next begins. Fewer parts for a text shorter than parts * min_part bytes, and
// none below 2 * min_part.
std::vector<std::size_t> split_points(std::string_view text, std::size_t parts, Container container,
                                      std::size_t min_part = k_min_split_part);

// Reads text[0, skip_begin) followed by text[skip_end, end) as read_document reads a whole
// text, calling at_skip() at the jump. Fails unless the reading stands, at skip_begin, right
// after an element of the container whose target is `container`.
Result<void> read_document_skipping(std::string_view text, std::size_t skip_begin,
                                    std::size_t skip_end, Target& document, const Target& container,
                                    const std::function<void()>& at_skip);

// Reads `range`, the text between two split points (a "," before each element), as the
// contents of `target`, which receives the elements as its container would in the document;
// its on_end() is called at the end.
Result<void> read_range(std::string_view range, Container container, Target& target);

// A Target for records: a fixed list of field keys, some required. It rejects a field key given
// twice, reports the first missing required key in declaration order at the end, and skips
// keys it does not know.
struct FieldSpec {
  std::string_view name;
  bool required;
};

class RecordTarget : public Target {
 public:
  explicit RecordTarget(std::span<const FieldSpec> fields) : m_fields(fields) {}

  std::string on_key(std::string_view key, bool& skip) final;
  std::string on_end() override;

  // Starts a new record: forgets the keys seen so far.
  void reset_fields() { m_seen = 0; }

 protected:
  // Index in the field list of the member being read.
  std::size_t field() const { return m_current; }
  std::string_view field_name() const { return m_fields[m_current].name; }

  // Reading helpers for the member being read; each returns "" or the fault description.
  std::string read_string(const Scalar& value, std::string& out) const;
  std::string read_optional_string(const Scalar& value, std::optional<std::string>& out) const;
  std::string read_uint64(const Scalar& value, std::uint64_t& out) const;
  std::string read_optional_int64(const Scalar& value, std::optional<std::int64_t>& out) const;
  // "key 'x' must be <what>"
  std::string wrong_type(std::string_view what) const;

 private:
  std::span<const FieldSpec> m_fields;
  std::uint64_t m_seen = 0;
  std::size_t m_current = 0;
};

// An array of strings, appended to a list.
class StringListTarget : public Target {
 public:
  // `owner_key` names the list in fault descriptions.
  StringListTarget(std::string_view owner_key, std::vector<std::string>* out)
      : m_owner_key(owner_key), m_out(out) {}
  std::string on_scalar(const Scalar& value) override;
  std::string on_nested(bool is_object, Target*& child) override;

 private:
  std::string_view m_owner_key;
  std::vector<std::string>* m_out;
};

}  // namespace quendal::json
