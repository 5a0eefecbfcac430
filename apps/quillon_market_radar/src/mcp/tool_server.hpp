// The tool server's answers to JSON-RPC 2.0 request lines: what a request is answered under (a
// revision of the table and the extensions declared, from the session or from the request itself)
// or the refusal it gets, and the answer written; notifications get none. No I/O: the stdio loop
// moves the bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "engine/snapshots.hpp"
#include "mcp/market_tools.hpp"
#include "mcp/methods.hpp"
#include "mcp/request_reader.hpp"
#include "mcp/revisions.hpp"

namespace qmr::mcp {

/// What a client's requests leave behind for the ones after them.
struct Session {
  /// The revision the last `initialize` negotiated and the extensions it declared, which a
  /// request naming no revision is answered under.
  Terms handshake;
  /// The revision of whatever set one last: an `initialize`, or a request answered under the
  /// revision its `_meta` names. A line that is not UTF-8 is skipped or ends the run by its row.
  const Revision* revision = &REVISIONS.front();
};

/// The answers a request gets before its method is looked at.
enum class Refusal {
  INVALID_ID,           // -32600 without an id: the id is missing or no string or integer
  NO_METHOD,            // -32600 with the id: there is no string method
  UNSUPPORTED_VERSION,  // -32022: `_meta` names a revision not served per request
};

/// What a request is answered under, and the session it leaves; or the refusal it gets under
/// those terms' rules, which leaves the session as it was.
struct Served {
  Terms terms;
  Session session;
  std::optional<Refusal> refusal;
};

/// Returns what `request`, which is no notification, is answered under in `session`, or its
/// refusal. A request naming a version in `_meta` is answered under that revision alone (an
/// unknown one is refused under the rules of the newest), with the extensions its own `_meta`
/// declares; any other under the session's handshake terms, but for an `initialize` under the
/// revision it negotiates and the extensions it declares. The refusals of a revision with
/// protocol errors come first, in the order of Refusal.
[[nodiscard]] Served decide(const Request& request, const Session& session);

/// Appends an error response for `request` to `out`, `error` being the compact text of its error
/// object: with the request's id, echoed as every answer echoes it, when that is a string or an
/// integer, and without an id otherwise, as the revisions with protocol errors refuse such ids.
void write_error_response(const Request& request, std::string_view error, std::string& out);

/// Answers request lines over one store in the process's session, made once for a whole run.
class LineHandler {
 public:
  /// Answers from the current snapshot of `snapshots`, which each call of a tool takes once; with
  /// `history` (a store given) the history tool is listed and answers from it too.
  explicit LineHandler(engine::Snapshots snapshots, engine::HistorySourceHandle history = nullptr)
      : tools_(std::move(snapshots),
               [](const engine::EngineHandle& engine) {
                 return std::make_shared<const MarketTools>(engine);
               }),
        history_(std::move(history)) {}

  /// Appends the compact response line (without its line feed) for one input line to `out` and
  /// returns true; returns false and appends nothing when the line is blank, is not exactly one
  /// valid JSON value, or is a notification (an object with a string "method" and no "id"). An
  /// answer echoing a long structured value hands `spill` its beginning in parts as it is written.
  [[nodiscard]] bool answer(std::string_view line, std::string& out, const Spill& spill = Spill());

  /// Appends the answer to `request`, which is no notification, as `served` decides it (decide()
  /// in the handler's session for answer(), in a session of the caller's for any other: the
  /// transport over HTTP, a fresh one per request); returns what its method gave, or
  /// METHOD_NOT_FOUND for a refusal.
  [[nodiscard]] Outcome respond(const Request& request, const Served& served, std::string& out,
                                const Spill& spill = Spill()) const;

  /// The session of the lines answered so far.
  [[nodiscard]] const Session& session() const { return session_; }

 private:
  engine::PerSnapshot<MarketTools> tools_;
  engine::HistorySourceHandle history_;
  Session session_;
};

}  // namespace qmr::mcp
