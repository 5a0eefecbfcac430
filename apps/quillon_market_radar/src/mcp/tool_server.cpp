#include "mcp/tool_server.hpp"

#include <optional>
#include <string>

namespace qmr::mcp {

namespace {

using namespace std::string_view_literals;

// Appends the request's id as every answer echoes it. An integer the reader has classified, -0
// aside, is written as it stands: its canonical form, found without reading it again.
void write_id(const Request& request, std::string& out, const Spill& spill) {
  if (request.id_is_string_or_integer && request.id.front() != '"' && request.id != "-0") {
    out += request.id;
  } else {
    write_canonical(request.id, out, spill);
  }
}

// Appends the rest of an error response after its error object: the id unless `echo_id` is false,
// and the end. Envelopes are written with their members in sorted order ("error", "id", "jsonrpc",
// "result"), the text of the response object written compactly.
void end_error(const Request& request, bool echo_id, std::string& out, const Spill& spill) {
  if (echo_id) {
    out += R"(,"id":)"sv;
    write_id(request, out, spill);
  }
  out += R"(,"jsonrpc":"2.0"})"sv;
}

// Appends the error `request` gets under `revision`: its refusal, or else its `outcome`, which is
// no result.
void write_error_answer(const Request& request, std::optional<Refusal> refusal, Outcome outcome,
                        const Revision& revision, std::string& out, const Spill& spill) {
  out += R"({"error":)"sv;
  if (refusal == Refusal::UNSUPPORTED_VERSION) {
    out += R"({"code":-32022,"data":{"requested":)"sv;
    // "requested" is a string: a version that is none is given as its JSON text inside one,
    // written straight from the line and spilled like an id, never held whole.
    const bool quoted = !request.meta_version;
    if (quoted) out += '"';
    write_canonical(request.meta_version_value, out, spill, quoted ? 2 : 1);
    if (quoted) out += '"';
    out += R"(,"supported":)"sv;
    out += per_request_versions();
    out += R"(},"message":"Unsupported protocol version"})"sv;
  } else if (refusal) {
    out += R"({"code":-32600,"message":"Invalid Request"})"sv;
  } else if (outcome == Outcome::UNKNOWN_TOOL) {
    out += R"({"code":-32602,"message":"Unknown tool: )"sv;
    request.tool_name.append_escaped(out);
    out += R"("})"sv;
  } else if (outcome == Outcome::UNKNOWN_RESOURCE) {
    out += R"({"code":)"sv;
    out += std::to_string(revision.missing_resource_code);
    out += R"(,"data":{"uri":")"sv;
    request.resource_uri.append_escaped(out);
    out += R"("},"message":"Resource not found"})"sv;
  } else {
    out += R"({"code":-32601,"message":"Method not found"})"sv;
  }
  end_error(request, refusal != Refusal::INVALID_ID, out, spill);
}

// What a request is answered under: a revision, whether the answer offers the view (the tools
// pointing to it, the capabilities declaring it, the view listed and read), and the session it
// leaves; or the refusal it gets under that revision's rules.
struct Served {
  const Revision* revision;
  bool view;
  Session session;
  std::optional<Refusal> refusal;
};

// Returns what `request`, which is no notification, is answered under in `session`, or its
// refusal. A request naming a version in `_meta` is answered under that revision alone (an unknown
// one is refused under the rules of the newest served per request), with the view when its own
// `_meta` declares it; any other under the session's handshake revision and view, but for an
// `initialize` under the revision it negotiates and the view it declares. The refusals of a
// revision with protocol errors come first, in the order of Refusal.
Served decide(const Request& request, const Session& session) {
  Served served{session.handshake, session.view, session, std::nullopt};
  if (!request.meta_version_value.empty()) {
    const Revision* named =
        request.meta_version ? find_revision(Era::PER_REQUEST, *request.meta_version) : nullptr;
    if (!named) served.refusal = Refusal::UNSUPPORTED_VERSION;
    static_assert(REVISIONS.back().era == Era::PER_REQUEST, "the newest is served per request");
    served.revision = named ? named : &REVISIONS.back();
    served.view = request.meta_declares_view;
    if (named) served.session.revision = named;
  } else if (request.method && *request.method == "initialize") {
    // The last handshake sets the session's revision and view, and is answered in them: the
    // revision asked for, or the first for any other.
    const Revision* asked = find_revision(Era::HANDSHAKE, request.handshake_version);
    served.revision = asked ? asked : &REVISIONS.front();
    served.view = request.declares_view;
    served.session = {served.revision, served.revision, served.view};
  }
  // The id's refusal outranks the version's, which outranks the method's.
  const bool protocol_errors = served.revision->protocol_errors;
  if (protocol_errors && !request.method && !served.refusal) served.refusal = Refusal::NO_METHOD;
  if (protocol_errors && !request.id_is_string_or_integer) served.refusal = Refusal::INVALID_ID;
  return served;
}

}  // namespace

void write_error_response(const Request& request, std::string_view error, std::string& out,
                          const Spill& spill) {
  out.append(R"({"error":)"sv).append(error);
  end_error(request, request.id_is_string_or_integer, out, spill);
}

bool LineHandler::answer(std::string_view line, std::string& out, const Spill& spill) {
  const auto request = read_request(line);
  return request && respond(*request, session_, out, spill).has_value();
}

// A request that is no object has no members: no id and no method, and it is answered.
std::optional<Answered> LineHandler::respond(const Request& request, Session& session,
                                             std::string& out, const Spill& spill) const {
  if (!request.has_id && request.method) return std::nullopt;
  // Room for the id, the fixed parts, an unknown tool's name written back escaped twice (at most
  // twice its bytes in the line), an unknown resource's address escaped once and a version
  // refused, so that a long one is not copied again while the answer grows.
  out.reserve(out.size() + request.id.size() + 2 * request.tool_name.raw().size() +
              request.resource_uri.raw().size() + request.meta_version_value.size() + 1024);
  const Served served = decide(request, session);
  const Revision& revision = *served.revision;
  Outcome outcome = Outcome::METHOD_NOT_FOUND;
  const std::string* fixed = nullptr;
  if (!served.refusal) {
    session = served.session;
    std::string decoded;
    if (request.method) {
      outcome = outcome_of(request.method->text(decoded), request, revision, served.view, fixed);
    }
  }
  if (served.refusal || outcome != Outcome::RESULT) {
    write_error_answer(request, served.refusal, outcome, revision, out, spill);
    return served.refusal ? Answered(*served.refusal) : Answered(outcome);
  }
  out += R"({"id":)"sv;
  write_id(request, out, spill);
  out += R"(,"jsonrpc":"2.0","result":)"sv;
  if (fixed) {
    out += *fixed;
  } else {
    tools_.write_result(request, revision, out);
  }
  out += '}';
  return outcome;
}

}  // namespace qmr::mcp
