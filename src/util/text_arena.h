// An append-only store for the many short texts of a large document: copies them into a few
// big blocks instead of one heap allocation each, and hands out views that stay valid for the
// life of the arena (also after it is moved). Not safe for concurrent use.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace quendal {

class TextArena {
 public:
  TextArena() = default;
  TextArena(TextArena&& other) noexcept { *this = std::move(other); }
  TextArena& operator=(TextArena&& other) noexcept {
    m_blocks = std::move(other.m_blocks);
    m_next = std::exchange(other.m_next, nullptr);
    m_room = std::exchange(other.m_room, 0);
    return *this;
  }

  // Takes over the texts of `other`, whose views stay valid: they now live as long as this.
  void absorb(TextArena&& other) {
    m_blocks.reserve(m_blocks.size() + other.m_blocks.size());
    for (std::unique_ptr<char[]>& block : other.m_blocks) m_blocks.push_back(std::move(block));
    other.m_blocks.clear();
    other.m_next = nullptr;
    other.m_room = 0;
  }

  // A copy of `text` that lives as long as the arena.
  std::string_view store(std::string_view text) {
    if (text.empty()) return {};
    char* at;
    if (text.size() > k_block_size / 8) {
      // A long text gets a block of its own; the current block keeps its room.
      at = add_block(text.size());
    } else {
      if (text.size() > m_room) {
        // new char[] leaves the bytes uninitialised: pages are touched only as texts arrive.
        m_next = add_block(k_block_size);
        m_room = k_block_size;
      }
      at = m_next;
      m_next += text.size();
      m_room -= text.size();
    }
    std::memcpy(at, text.data(), text.size());
    return {at, text.size()};
  }

 private:
  static constexpr std::size_t k_block_size = std::size_t{1} << 20;

  // The block is owned before the list grows, so a failure to grow it frees the block.
  char* add_block(std::size_t size) {
    std::unique_ptr<char[]> block(new char[size]);
    m_blocks.push_back(std::move(block));
    return m_blocks.back().get();
  }

  std::vector<std::unique_ptr<char[]>> m_blocks;
  char* m_next = nullptr;
  std::size_t m_room = 0;
};

}  // namespace quendal
