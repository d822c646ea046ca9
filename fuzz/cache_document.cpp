// Fuzzes the hash cache document: any text parses or fails with a one-line description, and a
// document that parses encodes, parses back to the identical document and encodes to the
// identical bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cache/cache_document.h"
#include "fuzz_check.h"
#include "util/text.h"

using namespace quendal;

namespace {

bool same_document(const ClientHashCacheDocument& a, const ClientHashCacheDocument& b) {
  return a.schema_version == b.schema_version && a.client_root == b.client_root &&
         a.manifest_signature == b.manifest_signature && a.generated_at == b.generated_at &&
         a.entries == b.entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Result<ClientHashCacheDocument> first = parse_hash_cache_document(text);
  if (!first.ok()) {
    FUZZ_CHECK(fuzz::is_parse_fault(first.error()));
    return 0;
  }
  if (!is_valid_utf8(text)) return 0;  // loading refuses such a file before parsing it
  Result<std::string> encoded = encode_hash_cache_document(*first);
  FUZZ_CHECK(encoded.ok());
  Result<ClientHashCacheDocument> second = parse_hash_cache_document(*encoded);
  FUZZ_CHECK(second.ok());
  FUZZ_CHECK(same_document(*first, *second));
  Result<std::string> again = encode_hash_cache_document(*second);
  FUZZ_CHECK(again.ok() && *again == *encoded);
  return 0;
}
