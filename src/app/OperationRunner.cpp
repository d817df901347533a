#include "app/OperationRunner.h"

#include <array>
#include <utility>

#include "link/PortStatus.h"

namespace veska::app {

std::string_view OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::Connected:
      return "connected";
    case Outcome::Written:
      return "written";
    case Outcome::Done:
      return "done";
    case Outcome::Refused:
      return "refused";
    case Outcome::Busy:
      return "busy";
    case Outcome::Failed:
      return "failed";
    case Outcome::Cancelled:
      return "cancelled";
  }
  return "?";
}

namespace {

// The worker running on this thread: its runner and its token (Decide names no operation, the
// thread does).
struct RunningWorker {
  const OperationRunner* runner = nullptr;
  std::uint64_t token = 0;
};
thread_local RunningWorker tRunning;

class RunningScope {
 public:
  RunningScope(const OperationRunner& runner, std::uint64_t token) { tRunning = {&runner, token}; }
  ~RunningScope() { tRunning = {}; }
  RunningScope(const RunningScope&) = delete;
  RunningScope& operator=(const RunningScope&) = delete;
};

}  // namespace

OperationRunner::OperationRunner(ui::Host& host, ProcessState& state)
    : host_(host), state_(state) {}

OperationRunner::~OperationRunner() {
  Join();
}

void OperationRunner::Hold(OperationId id, std::uint64_t token, std::uint32_t generation) {
  // Called with the mutex held.
  holderToken_ = token;
  holder_ = id;
  holderGeneration_ = generation;
  if (request_ == id) requestAnswered_ = true;
}

void OperationRunner::Release(std::uint64_t token) {
  std::lock_guard lock(mutex_);
  // A cancelled predecessor ending late must not release its successor's hold.
  if (holderToken_ == token) holderToken_ = 0;
}

void OperationRunner::StartWorker(OperationId id, Body body) {
  const std::uint32_t generation = state_.link.disconnects.load();
  std::uint64_t token = 0;
  {
    std::lock_guard lock(mutex_);
    token = nextToken_++;
    Hold(id, token, generation);
    ++runningWorkers_;
  }
  host_.StartWorker(ui::ThreadPriority::Highest,
                    [this, id, token, generation, body = std::move(body)](std::stop_token) {
                      RunWorker(id, token, generation, body);
                    });
}

void OperationRunner::RunWorker(OperationId id, std::uint64_t token, std::uint32_t generation,
                                const Body& body) {
  OperationResult result = OperationResult::Ended(id, Outcome::Cancelled);
  {
    const auto operation = state_.BeginWorker(generation);
    if (operation.owns_lock()) {
      {
        const RunningScope running(*this, token);
        result = body();
      }
      result.operation = id;
      bool decided = false;
      {
        std::lock_guard lock(mutex_);
        decided = decidedToken_ == token;
      }
      if (!state_.link.openAllowed.load() && !decided) {
        result = OperationResult::Ended(id, Outcome::Cancelled);
      }
    }
    Release(token);
    // Told while the phone is still held, so that results arrive in the order the operations
    // let go of it.
    Deliver(std::move(result));
  }
  // Notified under the lock: once Join sees no worker left, the runner may go at once.
  std::lock_guard lock(mutex_);
  --runningWorkers_;
  idle_.notify_all();
}

OperationResult OperationRunner::RunHere(OperationId id, Body body) {
  OperationResult result = OperationResult::Ended(id, Outcome::Cancelled);
  if (!NeedsPhone(id)) {
    {
      std::lock_guard lock(mutex_);
      if (request_ == id) requestAnswered_ = true;
    }
    result = body();
  } else {
    const std::uint32_t generation = state_.link.disconnects.load();
    // Never wait here for a cancelled worker: it may itself be waiting for this thread to show
    // its last texts. It lets go within moments; until then the phone is busy.
    const auto operation = state_.TryBeginWorker(generation);
    if (!operation.owns_lock()) {
      return RefuseBusy(id, nullptr);
    }
    std::uint64_t token = 0;
    {
      std::lock_guard lock(mutex_);
      token = nextToken_++;
      Hold(id, token, generation);
    }
    result = body();
    Release(token);
  }
  result.operation = id;
  Deliver(result);
  return result;
}

void OperationRunner::Report(OperationResult result) {
  {
    std::lock_guard lock(mutex_);
    if (request_ == result.operation) requestAnswered_ = true;
  }
  Deliver(std::move(result));
}

OperationResult OperationRunner::RefuseBusy(OperationId id, ui::Window* owner) {
  std::string holder(Holder());
  // A cancelled worker may already have given up its name while it still lets go of the port.
  if (holder.empty()) holder = "another operation";
  host_.MessageBox(owner, "The phone is busy with " + holder +
                              ".\nWait until it has ended, or press Disconnect.");
  OperationResult result = OperationResult::Ended(id, Outcome::Busy, 0, holder);
  Report(result);
  return result;
}

std::string_view OperationRunner::Cancel() {
  // Under the lock, so that an outcome is either decided before this Disconnect or cancelled
  // by it, never both.
  std::lock_guard lock(mutex_);
  const bool stops = holderToken_ != 0 && holderGeneration_ == state_.link.disconnects.load() &&
                     decidedToken_ != holderToken_;
  state_.CancelOperations();
  return stops ? OperationName(holder_) : std::string_view();
}

void OperationRunner::Decide() {
  if (tRunning.runner != this) return;
  std::lock_guard lock(mutex_);
  if (holderToken_ == tRunning.token && holderGeneration_ == state_.link.disconnects.load()) {
    decidedToken_ = tRunning.token;
  }
}

bool OperationRunner::Busy() const {
  std::lock_guard lock(mutex_);
  return holderToken_ != 0 && holderGeneration_ == state_.link.disconnects.load();
}

std::string_view OperationRunner::Holder() const {
  std::lock_guard lock(mutex_);
  return holderToken_ != 0 ? OperationName(holder_) : std::string_view();
}

void OperationRunner::BeginRequest(OperationId id) {
  std::function<void(OperationId)> observer;
  {
    std::lock_guard lock(mutex_);
    request_ = id;
    requestAnswered_ = false;
    observer = requestObserver_;
  }
  if (observer) observer(id);
}

void OperationRunner::EndRequest() {
  std::optional<OperationId> unanswered;
  {
    std::lock_guard lock(mutex_);
    if (request_ && !requestAnswered_) unanswered = request_;
    request_.reset();
  }
  if (unanswered) Deliver(OperationResult::Ended(*unanswered, Outcome::Refused));
}

void OperationRunner::SetObserver(std::function<void(const OperationResult&)> observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

void OperationRunner::SetRequestObserver(std::function<void(OperationId)> observer) {
  std::lock_guard lock(mutex_);
  requestObserver_ = std::move(observer);
}

std::optional<OperationResult> OperationRunner::LastResult() const {
  std::lock_guard lock(mutex_);
  return last_;
}

void OperationRunner::SetCauseSource(std::function<Cause()> source) {
  std::lock_guard lock(mutex_);
  causeSource_ = std::move(source);
}

void OperationRunner::Deliver(OperationResult result) {
  std::function<void(const OperationResult&)> observer;
  std::function<Cause()> causeSource;
  {
    std::lock_guard lock(mutex_);
    causeSource = causeSource_;
  }
  if (result.outcome == Outcome::Cancelled) {
    result.cause = Cause::Cancel();
  } else if (result.outcome == Outcome::Failed && result.cause.kind == CauseKind::None) {
    if (causeSource) result.cause = causeSource();
    // A silence that no engine described is still a silence.
    if (result.cause.kind == CauseKind::None &&
        (result.status == link::PORT_NO_REPLY || result.status == link::PORT_TIMEOUT)) {
      result.cause = Cause::NoReplyTo({}, std::chrono::milliseconds{0});
    }
  }
  {
    std::lock_guard lock(mutex_);
    last_ = result;
    observer = observer_;
  }
  // Outside the lock: an observer may ask the runner about its state.
  if (observer) observer(result);
}

void OperationRunner::Join() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return runningWorkers_ == 0; });
}

}  // namespace veska::app
