#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "app/Cause.h"
#include "app/Operations.h"
#include "app/ProcessState.h"
#include "ui/Host.h"

namespace veska::app {

// How an operation ended.
enum class Outcome {
  Connected,  // START: the phone is in download mode and the operation buttons are available
  Written,    // everything the operation was asked to write reached the phone
  Done,       // an operation that writes nothing (checksum, format, erase) did what it was asked
  Refused,    // refused before anything was sent (a bad file, a declined question), see reason
  Busy,       // another operation held the phone: refused, never queued behind it
  Failed,     // started and failed; `status` is the operation's own status value
  Cancelled,  // Disconnect ended it
};
[[nodiscard]] std::string_view OutcomeName(Outcome outcome);

// What every operation reports, exactly once, when it ends.
struct OperationResult {
  OperationId operation = OperationId::Start;
  Outcome outcome = Outcome::Failed;
  // The operation's own status when it failed (ConnectStatus, FormatResult, ...); 0 otherwise.
  int status = 0;
  // Why it was refused or what failed, in the words the user saw (a message box's text, the
  // image that failed); may be empty.
  std::string reason;
  // Why it did not succeed, typed: what a caller acts on (kind None when it succeeded, or when
  // nothing more than the status is known).
  Cause cause;

  [[nodiscard]] bool Succeeded() const {
    return outcome == Outcome::Connected || outcome == Outcome::Written || outcome == Outcome::Done;
  }
  bool operator==(const OperationResult&) const = default;

  static OperationResult Ended(OperationId id, Outcome outcome, int status = 0,
                               std::string reason = {}, Cause cause = {}) {
    if (outcome == Outcome::Cancelled) cause = Cause::Cancel();
    return OperationResult{id, outcome, status, std::move(reason), std::move(cause)};
  }
};

// Starts and ends the operations of one session (one dialog, one process state, one phone).
//
// Every operation either runs on a worker thread (StartWorker) or on the user-interface thread
// (RunHere), and reports one OperationResult when it ends; one that ends at its request (a bad
// file, a declined question) reports through Report. Only one operation holds the phone at a
// time: a request while another holds it is refused as Busy. The one exception is an operation
// that Disconnect cancelled: it is winding down without touching the phone, and the next one
// waits for it to let go of the port record before it starts.
//
// Thread safety: StartWorker, RunHere, Busy and the request bracket are called on the
// user-interface thread; Report, the observer and Join may be reached from any thread.
class OperationRunner {
 public:
  OperationRunner(ui::Host& host, ProcessState& state);
  // Waits for this session's workers.
  ~OperationRunner();
  OperationRunner(const OperationRunner&) = delete;
  OperationRunner& operator=(const OperationRunner&) = delete;

  using Body = std::function<OperationResult()>;

  // Runs `body` on a worker thread of the highest priority. The worker first waits until a
  // cancelled predecessor has let go of the phone; when Disconnect came since this call it ends
  // at once as Cancelled without running `body`. A body that ends after a Disconnect reports
  // Cancelled whatever it returned (the user asked for the end), unless it had decided its
  // outcome before the Disconnect came (Decide).
  void StartWorker(OperationId id, Body body);
  // Runs `body` here, holding the phone meanwhile (when the operation needs it), and reports
  // and returns its result.
  OperationResult RunHere(OperationId id, Body body);
  // The result of an operation that ended at its request, before anything was started.
  void Report(OperationResult result);

  // Refuses `id` because another operation holds the phone: says so in a message box (owned by
  // `owner` when given) and reports Busy naming the holder.
  OperationResult RefuseBusy(OperationId id, ui::Window* owner);

  // Disconnect: from now on no worker opens the port again, and the operation that holds the
  // phone ends as Cancelled, unless its outcome was decided already (Decide). Returns the
  // caption of the operation this stopped, empty when none was stopped.
  std::string_view Cancel();
  // Told by a worker of this runner, from its own thread, once its outcome is decided: all it
  // had to do with the phone is done (every image written), and what follows (a notice, the
  // window's states) cannot undo it. A Disconnect from then on stops nothing: the result stands
  // as the body returns it. Ignored from any other thread.
  void Decide();

  // True while an operation holds the phone and Disconnect has not cancelled it.
  [[nodiscard]] bool Busy() const;
  // The caption of the operation that holds the phone, empty when none.
  [[nodiscard]] std::string_view Holder() const;

  // Brackets one button press: a press whose operation neither started, ran nor reported
  // anything is reported as Refused, so that every request has exactly one result.
  void BeginRequest(OperationId id);
  void EndRequest();

  // Receives every result, on the thread that ends the operation. Set it before the first
  // operation starts.
  void SetObserver(std::function<void(const OperationResult&)> observer);
  // Told of each press as its request begins (on the user-interface thread), so that an
  // observer can time the operation to its result. Set it before the first operation starts.
  void SetRequestObserver(std::function<void(OperationId)> observer);
  // What a failed result that names no cause of its own is given: what the operation's engine
  // and port noted (asked on the thread that ends the operation). A cancelled result's cause is
  // always Cancelled. Set it before the first operation starts.
  void SetCauseSource(std::function<Cause()> source);
  // The last result reported, if any.
  [[nodiscard]] std::optional<OperationResult> LastResult() const;

  // Waits until every worker this runner started has ended and reported.
  void Join();

 private:
  // A worker's whole run: wait for the phone, the body, the result.
  void RunWorker(OperationId id, std::uint64_t token, std::uint32_t generation, const Body& body);
  void Hold(OperationId id, std::uint64_t token, std::uint32_t generation);
  void Release(std::uint64_t token);
  void Deliver(OperationResult result);

  ui::Host& host_;
  ProcessState& state_;

  mutable std::mutex mutex_;
  std::condition_variable idle_;
  int runningWorkers_ = 0;
  // The operation that holds the phone: its token, caption and the Disconnect count it began
  // under. A token of 0 means none.
  std::uint64_t nextToken_ = 1;
  std::uint64_t holderToken_ = 0;
  OperationId holder_ = OperationId::Start;
  std::uint32_t holderGeneration_ = 0;
  // The holder whose outcome was decided before any Disconnect, 0 when none.
  std::uint64_t decidedToken_ = 0;
  // The press being handled and whether it produced a result or a worker.
  std::optional<OperationId> request_;
  bool requestAnswered_ = false;
  std::optional<OperationResult> last_;
  std::function<void(const OperationResult&)> observer_;
  std::function<void(OperationId)> requestObserver_;
  std::function<Cause()> causeSource_;
};

}  // namespace veska::app
