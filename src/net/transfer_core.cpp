#include "net/transfer_core.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <utility>

#include "net/request_options.h"
#include "net/transfer_log.h"

namespace net {
namespace {

using Clock = std::chrono::steady_clock;

// The longest wait for the network: cancels wake the wait at once, so this only bounds
// how late a retry's pause or a capped transfer's next bytes may come.
constexpr int kLongestWaitMs = 1000;
// What the cap lets through in one go at most, as a share of a second's bytes.
constexpr std::int64_t kBurstDivisor = 4;
constexpr std::int64_t kSmallestBurst = 16 * 1024;
// Transfers in flight at once once the server has shown it multiplexes (HTTP/2): they
// share its connection as streams, and common servers take 100 or more at once.
constexpr std::size_t kMultiplexedInFlight = 100;

struct EasyHandleDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
using EasyHandle = std::unique_ptr<CURL, EasyHandleDeleter>;

}  // namespace

// A transfer as the core tracks it.
struct TransferCore::Flight {
  Runner* runner = nullptr;
  Transfer* transfer = nullptr;
  EasyHandle easy;
  std::size_t urlIndex = 0;
  int round = 0;
  Clock::time_point readyAt;
  bool paused = false;
  // Out of rounds: the pause after the last one runs out, then the transfer has failed.
  bool lastPause = false;
  bool ended = false;
  bool succeeded = false;
  char error[CURL_ERROR_SIZE] = {};
};

// One Run's state: the transfers waiting, those in flight, and the cap's budget.
class TransferCore::Runner {
 public:
  Runner(TransferCore& core, CURLM* multi) : core_(core), multi_(multi) {}
  ~Runner() { AbortAll(); }
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  bool Run(const std::vector<Transfer*>& transfers) {
    // A negative retry count allows no attempt at all.
    if (core_.settings_.retryCount < 0) return transfers.empty();
    for (Transfer* transfer : transfers) Add(transfer);
    TakeAdded();
    tokens_ = Burst();
    lastRefill_ = Clock::now();
    while (!stopped_ && !core_.cancel_ && !Idle()) {
      StartReady();
      TakeAdded();
      int running = 0;
      if (curl_multi_perform(multi_, &running) != CURLM_OK) break;
      CollectEnded();
      TakeAdded();
      Refill();
      if (stopped_ || core_.cancel_ || Idle()) break;
      curl_multi_poll(multi_, nullptr, 0, WaitMs(), nullptr);
    }
    AbortAll();
    return std::all_of(flights_.begin(), flights_.end(), [](const auto& f) { return f->succeeded; });
  }

  void Add(Transfer* transfer) {
    auto flight = std::make_unique<Flight>();
    flight->runner = this;
    flight->transfer = transfer;
    flight->readyAt = Clock::now();
    added_.push_back(flight.get());
    flights_.push_back(std::move(flight));
  }

 private:
  bool Idle() const { return waiting_.empty() && added_.empty() && inFlight_ == 0; }

  // Transfers added while the queue was walked join it.
  void TakeAdded() {
    waiting_.insert(waiting_.end(), added_.begin(), added_.end());
    added_.clear();
  }

  std::int64_t Rate() const { return core_.settings_.maxRate; }
  std::int64_t Burst() const { return std::max(Rate() / kBurstDivisor, kSmallestBurst); }
  std::size_t Limit() const {
    const auto connections = static_cast<std::size_t>(std::max(1, core_.settings_.connections));
    return core_.pool_->multiplexed_ && connections > 1 ? std::max(connections, kMultiplexedInFlight) : connections;
  }

  void StartReady() {
    const auto now = Clock::now();
    for (auto it = waiting_.begin(); it != waiting_.end() && inFlight_ < Limit();) {
      Flight* flight = *it;
      if (flight->readyAt > now) {
        ++it;
        continue;
      }
      it = waiting_.erase(it);
      if (flight->lastPause) {
        End(flight, false);
      } else {
        Start(flight);
      }
    }
  }

  void Start(Flight* flight) {
    if (!flight->easy) flight->easy.reset(curl_easy_init());
    CURL* easy = flight->easy.get();
    Transfer* transfer = flight->transfer;
    if (!transfer->Needed()) return End(flight, true);
    if (!easy || transfer->urls.empty()) return End(flight, false);
    flight->error[0] = '\0';
    flight->paused = false;
    const TransferSettings& s = core_.settings_;
    ApplyRequestOptions(easy, transfer->urls[flight->urlIndex], s.connectTimeout, s.tls);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, flight);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, flight->error);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Runner::WriteCallback);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, flight);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Runner::HeaderCallback);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, flight);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Runner::ProgressCallback);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, flight);
    // No single transfer goes over the cap: this also keeps libcurl's reads small.
    if (Rate() > 0) curl_easy_setopt(easy, CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(Rate()));
    if (!transfer->Prepare(easy)) return End(flight, false);
    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
      transfer->Finish(easy, CURLE_OUT_OF_MEMORY);
      return End(flight, false);
    }
    ++inFlight_;
  }

  void CollectEnded() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      const CURLcode code = message->data.result;
      Flight* flight = nullptr;
      curl_easy_getinfo(easy, CURLINFO_PRIVATE, &flight);
      curl_multi_remove_handle(multi_, easy);
      --inFlight_;
      long version = 0;
      if (curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version) == CURLE_OK && version == CURL_HTTP_VERSION_2_0) {
        core_.pool_->multiplexed_ = true;
      }
      LogTransfer(easy, code, flight->error);
      Judge(flight, flight->transfer->Finish(easy, code));
    }
  }

  void Judge(Flight* flight, Transfer::Verdict verdict) {
    switch (verdict) {
      case Transfer::Verdict::Done:
        return End(flight, true);
      case Transfer::Verdict::Again:
        return Requeue(flight, Clock::now());
      case Transfer::Verdict::Retry:
        return Retry(flight);
      case Transfer::Verdict::Fail:
        return End(flight, false);
      case Transfer::Verdict::Stop:
        stopped_ = true;
        return End(flight, false);
    }
  }

  // The next address at once; after the last one, the pause, then the first again. The
  // pause follows the last round too, so that a caller that starts over at once does not
  // hammer the server.
  void Retry(Flight* flight) {
    if (core_.cancel_) return End(flight, false);
    if (++flight->urlIndex < flight->transfer->urls.size()) return Requeue(flight, Clock::now());
    flight->urlIndex = 0;
    flight->lastPause = ++flight->round > core_.settings_.retryCount;
    Requeue(flight, Clock::now() + std::chrono::seconds(core_.settings_.retryDelay));
  }

  void Requeue(Flight* flight, Clock::time_point at) {
    flight->readyAt = at;
    waiting_.push_back(flight);
  }

  static void End(Flight* flight, bool succeeded) {
    flight->ended = true;
    flight->succeeded = succeeded;
  }

  // Requests still under way end as cut; what waits never starts.
  void AbortAll() noexcept {
    for (auto& flight : flights_) {
      if (flight->ended || !flight->easy || IsWaiting(flight.get())) continue;
      CURL* easy = flight->easy.get();
      if (curl_multi_remove_handle(multi_, easy) != CURLM_OK) continue;
      try {
        LogTransfer(easy, CURLE_ABORTED_BY_CALLBACK, "stopped");
        flight->transfer->Finish(easy, CURLE_ABORTED_BY_CALLBACK);
      } catch (...) {
        // The transfer is over either way.
      }
      End(flight.get(), false);
    }
    waiting_.clear();
    added_.clear();
    inFlight_ = 0;
  }

  bool IsWaiting(const Flight* flight) const {
    return std::find(waiting_.begin(), waiting_.end(), flight) != waiting_.end();
  }

  // The cap's budget grows with time; paused transfers go on once there is some.
  void Refill() {
    if (Rate() <= 0) return;
    const auto now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - lastRefill_).count();
    lastRefill_ = now;
    tokens_ = std::min(Burst(), tokens_ + static_cast<std::int64_t>(seconds * static_cast<double>(Rate())));
    if (tokens_ <= 0) return;
    for (auto& flight : flights_) {
      if (!flight->paused || flight->ended) continue;
      flight->paused = false;
      curl_easy_pause(flight->easy.get(), CURLPAUSE_CONT);
    }
  }

  int WaitMs() const {
    int wait = kLongestWaitMs;
    const auto now = Clock::now();
    for (const Flight* flight : waiting_) {
      // A transfer ready to go waits for a free place, which only the network makes.
      if (inFlight_ >= Limit()) break;
      const auto until = std::chrono::duration_cast<std::chrono::milliseconds>(flight->readyAt - now).count();
      wait = std::min<int>(wait, static_cast<int>(std::max<long long>(0, until)));
    }
    const bool anyPaused = std::any_of(flights_.begin(), flights_.end(), [](const auto& f) { return f->paused; });
    if (anyPaused && Rate() > 0) {
      const std::int64_t debt = std::max<std::int64_t>(0, -tokens_);
      wait = std::min<int>(wait, static_cast<int>(std::max<std::int64_t>(5, debt * 1000 / Rate())));
    }
    return wait;
  }

  // Bytes over the cap's budget wait, paused, until it has grown again.
  bool Admit(Flight* flight, std::size_t size) {
    if (Rate() <= 0) return true;
    if (tokens_ <= 0) {
      flight->paused = true;
      return false;
    }
    tokens_ -= static_cast<std::int64_t>(size);
    return true;
  }

  static std::size_t WriteCallback(char* data, std::size_t size, std::size_t count, void* context) noexcept {
    auto* flight = static_cast<Flight*>(context);
    const std::size_t n = size * count;
    try {
      if (flight->runner->core_.cancel_) return 0;
      if (!flight->runner->Admit(flight, n)) return CURL_WRITEFUNC_PAUSE;
      return flight->transfer->Body(data, n) ? n : 0;
    } catch (...) {
      // No memory for the body: the request fails.
      return 0;
    }
  }

  static std::size_t HeaderCallback(char* data, std::size_t size, std::size_t count, void* context) noexcept {
    auto* flight = static_cast<Flight*>(context);
    const std::size_t n = size * count;
    try {
      return flight->transfer->Header(std::string_view(data, n)) ? n : 0;
    } catch (...) {
      return 0;
    }
  }

  // libcurl calls this at least once a second in every phase; a non-zero result aborts.
  static int ProgressCallback(void* context, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) noexcept {
    auto* flight = static_cast<Flight*>(context);
    try {
      if (flight->runner->core_.cancel_) return 1;
      return flight->transfer->Progress(total, now) ? 0 : 1;
    } catch (...) {
      return 1;
    }
  }

  TransferCore& core_;
  CURLM* const multi_;
  std::vector<std::unique_ptr<Flight>> flights_;
  std::deque<Flight*> waiting_;
  std::vector<Flight*> added_;
  std::size_t inFlight_ = 0;
  bool stopped_ = false;
  std::int64_t tokens_ = 0;
  Clock::time_point lastRefill_;
};

// libcurl counts its initialisations; a failed one makes every transfer fail on its own.
ConnectionPool::ConnectionPool() { curl_global_init(CURL_GLOBAL_ALL); }

// The connections go before the library they belong to.
ConnectionPool::~ConnectionPool() {
  if (multi_) curl_multi_cleanup(multi_);
  curl_global_cleanup();
}

TransferCore::TransferCore(TransferSettings settings, ConnectionPool* pool)
    : settings_(std::move(settings)),
      ownPool_(pool ? nullptr : std::make_unique<ConnectionPool>()),
      pool_(pool ? pool : ownPool_.get()) {}

TransferCore::~TransferCore() = default;

bool TransferCore::Run(const std::vector<Transfer*>& transfers) {
  void* multi = nullptr;
  {
    std::lock_guard lock(pool_->mutex_);
    if (!pool_->multi_) {
      pool_->multi_ = curl_multi_init();
      if (!pool_->multi_) return false;
      const long connections = std::max(1, settings_.connections);
      curl_multi_setopt(pool_->multi_, CURLMOPT_MAX_HOST_CONNECTIONS, connections);
      curl_multi_setopt(pool_->multi_, CURLMOPT_MAX_TOTAL_CONNECTIONS, connections);
      curl_multi_setopt(pool_->multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    }
    multi = pool_->multi_;
  }
  Runner runner(*this, multi);
  struct Current {
    Runner*& slot;
    ~Current() { slot = nullptr; }
  } current{runner_};
  runner_ = &runner;
  return runner.Run(transfers);
}

void TransferCore::Add(Transfer* transfer) {
  if (runner_) runner_->Add(transfer);
}

void TransferCore::Cancel() {
  cancel_ = true;
  std::lock_guard lock(pool_->mutex_);
  if (pool_->multi_) curl_multi_wakeup(pool_->multi_);
}

void TransferCore::Rearm() { cancel_ = false; }

}  // namespace net
