// The parts of the store interface that every store shares.
#include "server/core/store.h"

#include <sodium.h>

#include <stdexcept>

#include "server/core/worker_pool.h"

namespace tav::server {

namespace {
// A store without completions of its own blocks one of these per write under way; as many as a
// PostgreSQL store keeps connections, so that none of them waits for a thread.
constexpr std::size_t kDefaultWriteThreads = 32;
}  // namespace

std::string newOfflineKey() {
  if (sodium_init() < 0) throw std::runtime_error("The cryptography library cannot be started.");
  unsigned char bytes[16];
  randombytes_buf(bytes, sizeof bytes);
  char hex[2 * sizeof bytes + 1];
  sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
  return hex;
}

Store::Store() = default;
Store::~Store() = default;

StoreUnavailable notChecked() {
  return StoreUnavailable("Not checked: the server could not get to the request in time and kept nothing of it; try again.");
}

StoreHealth Store::probeHealth() {
  StoreHealth health;
  try {
    read([](Reader& reader) { reader.findVenue(""); });
    health.detail = writeFault();
    if (!health.detail.empty()) health.state = StoreHealth::State::NotWritable;
  } catch (const std::exception& e) {
    health = {StoreHealth::State::NotAnswering, e.what()};
  } catch (...) {
    health = {StoreHealth::State::NotAnswering, "The store failed for a reason it could not name."};
  }
  return health;
}

void Store::finishAsyncWrites() { pool_.reset(); }

void Store::backupTo(const std::string&) {
  throw std::runtime_error("This kind of store has no backup of its own.");
}

void Store::eraseRemovedData() {
  throw std::runtime_error("This kind of store cannot erase what was removed from it.");
}

void Store::writeAsync(std::function<void(Transaction&)> work, Done done) {
  std::call_once(poolStarted_, [this] { pool_ = std::make_unique<WorkerPool>(kDefaultWriteThreads, "tav-store"); });
  asyncWaiting_.fetch_add(1, std::memory_order_relaxed);
  pool_->post([this, work = std::move(work), done = std::move(done), queued = std::chrono::steady_clock::now()] {
    asyncWaiting_.fetch_sub(1, std::memory_order_relaxed);
    std::exception_ptr error;
    try {
      if (std::chrono::steady_clock::now() - queued > kWriteTurnLimit) throw notChecked();
      writeQueued(work, queued);
    } catch (...) {
      error = std::current_exception();
    }
    done(error);
  });
}

std::optional<std::int64_t> annulledLine(const ScanRecord& line) {
  if (line.kind != kControlKind || line.outcome != kOutcomeAnnul) return std::nullopt;
  try {
    return std::stoll(line.code);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace tav::server
