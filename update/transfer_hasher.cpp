#include "update/update.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace kiv {

namespace {
// Pieces are at most one transfer chunk each; a few of them in flight keep
// the hashing thread busy without holding much memory.
constexpr std::size_t kMaxQueued = 4;
}  // namespace

struct TransferHasher::State {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::vector<std::uint8_t>> queue;
    std::vector<std::vector<std::uint8_t>> spare;  // emptied buffers, reused
    bool hashing = false;                          // the thread holds a piece
    bool stopping = false;
    // Used by the thread while `hashing`, by the owner only when idle.
    std::unique_ptr<crypto::Sha256> hash;
    std::uint64_t received = 0;
    std::thread worker;

    bool idle() const { return queue.empty() && !hashing; }

    void run() {
        std::unique_lock<std::mutex> hold(lock);
        for (;;) {
            changed.wait(hold, [this] { return stopping || !queue.empty(); });
            if (queue.empty()) return;
            std::vector<std::uint8_t> piece = std::move(queue.front());
            queue.pop_front();
            hashing = true;
            hold.unlock();
            hash->update(piece.data(), piece.size());
            hold.lock();
            hashing = false;
            spare.push_back(std::move(piece));
            changed.notify_all();
        }
    }
};

TransferHasher::TransferHasher(HashOn where) : state_(std::make_unique<State>()) {
    if (where == HashOn::ownThread) state_->worker = std::thread([state = state_.get()] { state->run(); });
}

TransferHasher::~TransferHasher() {
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        state_->stopping = true;
    }
    state_->changed.notify_all();
    if (state_->worker.joinable()) state_->worker.join();
}

void TransferHasher::restart() {
    std::unique_lock<std::mutex> hold(state_->lock);
    state_->changed.wait(hold, [this] { return state_->idle(); });
    state_->hash = std::make_unique<crypto::Sha256>();
    state_->received = 0;
}

void TransferHasher::data(const void* bytes, std::size_t size) {
    std::unique_lock<std::mutex> hold(state_->lock);
    if (!state_->hash) return;  // no transfer started
    if (!state_->worker.joinable()) {
        state_->hash->update(bytes, size);
        state_->received += size;
        return;
    }
    state_->changed.wait(hold, [this] { return state_->queue.size() < kMaxQueued; });
    std::vector<std::uint8_t> piece;
    if (!state_->spare.empty()) {
        piece = std::move(state_->spare.back());
        state_->spare.pop_back();
    }
    const auto* first = static_cast<const std::uint8_t*>(bytes);
    piece.assign(first, first + size);
    state_->queue.push_back(std::move(piece));
    state_->received += size;
    state_->changed.notify_all();
}

bool TransferHasher::finish(crypto::Sha256Digest& digest, std::uint64_t& size) {
    std::unique_lock<std::mutex> hold(state_->lock);
    state_->changed.wait(hold, [this] { return state_->idle(); });
    if (!state_->hash) return false;
    size = state_->received;
    const bool ok = state_->hash->finish(digest);
    state_->hash.reset();
    return ok;
}

}  // namespace kiv
