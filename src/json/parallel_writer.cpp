#include "json/parallel_writer.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace quendal::json {
namespace {

// The pieces in flight: encoders claim piece numbers in order and fill the slot of their number
// (number modulo the slot count) once the writer has emptied it; the writer takes the slots in
// number order.
class PieceQueue {
 public:
  PieceQueue(std::size_t pieces, std::size_t slots) : m_pieces(pieces), m_slots(slots) {}

  // The next piece to encode, once its slot is free; nullopt when there is none, or the work
  // has been stopped.
  std::optional<std::size_t> claim() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_stopped || m_next_claim == m_pieces) return std::nullopt;
    const std::size_t number = m_next_claim++;
    m_freed.wait(lock, [&] { return m_stopped || number < m_written + m_slots.size(); });
    if (m_stopped) return std::nullopt;
    return number;
  }

  void fill(std::size_t number, Result<std::string>&& text) {
    {
      const std::lock_guard<std::mutex> lock(m_mutex);
      m_slots[number % m_slots.size()].emplace(std::move(text));
    }
    m_filled.notify_all();
  }

  // Waits for piece `number`; nullopt when the work was stopped first.
  std::optional<Result<std::string>> take(std::size_t number) {
    std::unique_lock<std::mutex> lock(m_mutex);
    std::optional<Result<std::string>>& slot = m_slots[number % m_slots.size()];
    m_filled.wait(lock, [&] { return m_stopped || slot.has_value(); });
    if (!slot) return std::nullopt;
    std::optional<Result<std::string>> text = std::move(slot);
    slot.reset();
    ++m_written;
    lock.unlock();
    m_freed.notify_all();
    return text;
  }

  void stop(std::exception_ptr failure = nullptr) {
    {
      const std::lock_guard<std::mutex> lock(m_mutex);
      m_stopped = true;
      if (failure && !m_failure) m_failure = failure;
    }
    m_freed.notify_all();
    m_filled.notify_all();
  }

  std::exception_ptr failure() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_freed;
  std::condition_variable m_filled;
  const std::size_t m_pieces;
  std::vector<std::optional<Result<std::string>>> m_slots;
  std::size_t m_next_claim = 0;
  std::size_t m_written = 0;
  bool m_stopped = false;
  std::exception_ptr m_failure;
};

}  // namespace

void write_elements(Writer& out, std::size_t count, std::size_t threads,
                    const std::function<void(Writer&, std::size_t)>& write_element) {
  const std::size_t pieces = (count + k_piece_elements - 1) / k_piece_elements;
  if (threads < 2 || pieces < 2) {
    for (std::size_t i = 0; i < count; ++i) write_element(out, i);
    return;
  }
  PieceQueue queue(pieces, 2 * threads);
  const std::size_t depth = out.depth();
  const Layout layout = out.layout();
  const auto encode = [&] {
    try {
      while (const std::optional<std::size_t> number = queue.claim()) {
        const std::size_t first = *number * k_piece_elements;
        Writer piece = Writer::piece(layout, depth, first > 0);
        piece.reserve(k_piece_elements * 64);
        for (std::size_t i = first; i < std::min(count, first + k_piece_elements); ++i) {
          write_element(piece, i);
        }
        queue.fill(*number, std::move(piece).finish());
      }
    } catch (const std::bad_alloc&) {
      queue.stop(std::current_exception());
    } catch (const std::length_error&) {
      queue.stop(std::current_exception());
    }
  };
  std::vector<std::thread> encoders;
  try {
    encoders.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) encoders.emplace_back(encode);
  } catch (const std::system_error&) {
  } catch (const std::bad_alloc&) {
  }
  if (encoders.empty()) {
    for (std::size_t i = 0; i < count; ++i) write_element(out, i);
    return;
  }
  std::exception_ptr failure;
  try {
    for (std::size_t number = 0; number < pieces; ++number) {
      std::optional<Result<std::string>> piece = queue.take(number);
      if (!piece) break;
      out.append_piece(*piece);
      if (out.sink_failed()) break;
    }
  } catch (const std::bad_alloc&) {
    failure = std::current_exception();
  } catch (const std::length_error&) {
    failure = std::current_exception();
  }
  queue.stop();
  for (std::thread& encoder : encoders) encoder.join();
  if (!failure) failure = queue.failure();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace quendal::json
