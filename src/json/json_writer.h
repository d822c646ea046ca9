// The exact JSON encoder: writes records field by field into a buffer, compact (no white space
// at all) or indented (two spaces per level, ": " after each key, every member on its own line).
// Neither layout ends with a line feed. The buffer holds the whole document, or, with a sink,
// only the bytes not yet handed to the sink: then a document of hundreds of megabytes costs a
// chunk of memory.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/byte_sink.h"
#include "util/digest_text.h"
#include "util/result.h"

namespace quendal::json {

enum class Layout { compact, indented };

// Builds one JSON document. Calls must form a well-nested document: inside an object every member
// is one call (field(), or begin_object()/begin_array() with its key), each key written once
// beside its value; inside an array the values come without keys. Strings are escaped as follows
// and no other way: '"' and '\' get a backslash, U+0008/9/A/C/D become \b \t \n \f \r, other
// characters below U+0020 become \u00XX with lower-case hex digits, and everything else is copied
// as UTF-8 bytes.
class Writer {
 public:
  // About how many bytes a writer with a sink gathers before it hands them on.
  static constexpr std::size_t k_chunk_size = std::size_t{1} << 20;

  explicit Writer(Layout layout) : m_layout(layout) {}
  // Hands the document to `sink` in pieces, each at least `chunk_size` bytes (except the last)
  // and ending between two tokens, so a piece never ends inside a character or an escape.
  Writer(Layout layout, ByteSink& sink, std::size_t chunk_size = k_chunk_size)
      : m_layout(layout), m_sink(&sink), m_chunk_size(chunk_size) {}

  // Makes room for a document of about `bytes` bytes.
  void reserve(std::size_t bytes);

  // ---- Members of the object being written ----

  // The member `name` with its value; an empty optional is written as null.
  void field(std::string_view name, std::string_view text) { key(name), string(text); }
  void field(std::string_view name, const char* text) { key(name), string(text); }
  void field(std::string_view name, const std::string& text) { key(name), string(text); }
  void field(std::string_view name, const DigestText& text) { key(name), digest(text); }
  void field(std::string_view name, const std::optional<DigestText>& text) {
    key(name), optional_digest(text);
  }
  void field(std::string_view name, const std::optional<std::string>& text) {
    key(name), optional_string(text);
  }
  void field(std::string_view name, std::uint64_t number) { key(name), uint64(number); }
  void field(std::string_view name, const std::optional<std::uint64_t>& number) {
    key(name), optional_uint64(number);
  }
  void field(std::string_view name, std::int64_t number) { key(name), int64(number); }
  void field(std::string_view name, const std::optional<std::int64_t>& number) {
    key(name), optional_int64(number);
  }
  // Only a bool: a pointer or a number must not turn into one.
  template <typename Bool>
  requires std::same_as<Bool, bool>
  void field(std::string_view name, Bool value) { key(name), boolean(value); }
  // The member `name` whose value is an object or an array, closed by end_object()/end_array().
  void begin_object(std::string_view name) { key(name), begin_object(); }
  void begin_array(std::string_view name) { key(name), begin_array(); }

  // ---- Values: the document itself, the elements of arrays, or after key() ----

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  // The key of the next value; field() and the named begin_object()/begin_array() call it.
  void key(std::string_view name);

  void string(std::string_view text);
  // A digest's text, which needs escaping only when it is not a hex digest.
  void digest(const DigestText& text);
  void optional_digest(const std::optional<DigestText>& text);
  void optional_string(const std::optional<std::string>& text);
  void uint64(std::uint64_t number);
  void optional_uint64(const std::optional<std::uint64_t>& number);
  void int64(std::int64_t number);
  void optional_int64(const std::optional<std::int64_t>& number);
  void boolean(bool value);
  void null();

  // The encoded document (with a sink: the rest goes to the sink, and the text is empty). Fails
  // with "string is not valid UTF-8" when a string handed to the writer was not well-formed
  // UTF-8, so invalid text never reaches a complete output (a sink may have had some of the
  // bytes), or with the sink's failure (see sink_failed()).
  Result<std::string> finish() &&;

  // Whether the sink failed; no bytes go to it after its failure.
  bool sink_failed() const { return m_sink_failure.has_value(); }

  // ---- Pieces encoded apart (see parallel_writer.h) ----

  // A writer for a run of elements of a container `depth` levels deep (the root is 1), as this
  // writer would write them there; `after_others` when elements come before the run, so that
  // it begins with a comma. finish() gives the run's text, to be handed to append_piece().
  static Writer piece(Layout layout, std::size_t depth, bool after_others);

  // How many containers are open.
  std::size_t depth() const { return m_levels.size(); }
  Layout layout() const { return m_layout; }

  // Appends a piece's finished text (elements of the container open here, written as piece()
  // says) as if its elements had been written here; a piece that failed (a string that was not
  // UTF-8) fails this writer's finish() the same way.
  void append_piece(const Result<std::string>& piece);

 private:
  void before_value();
  void append_quoted(std::string_view text);
  void close(char bracket);
  void newline_and_indent(std::size_t depth);
  // With a sink, hands the buffer on once it holds a chunk.
  void maybe_flush() {
    if (m_sink != nullptr && m_out.size() >= m_chunk_size) flush();
  }
  void flush();

  struct Level {
    bool has_members = false;
  };

  Layout m_layout;
  std::string m_out;
  std::vector<Level> m_levels;
  bool m_after_key = false;
  bool m_invalid_utf8 = false;
  ByteSink* m_sink = nullptr;
  std::size_t m_chunk_size = 0;
  std::optional<std::string> m_sink_failure;
};

}  // namespace quendal::json
