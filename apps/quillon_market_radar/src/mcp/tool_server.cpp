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
    request.resource_uri->append_escaped(out);
    out += R"("},"message":"Resource not found"})"sv;
  } else if (outcome == Outcome::INVALID_PARAMS) {
    out += R"({"code":-32602,"message":"Invalid params: uri must be a string"})"sv;
  } else {
    out += R"({"code":-32601,"message":"Method not found"})"sv;
  }
  end_error(request, refusal != Refusal::INVALID_ID, out, spill);
}

}  // namespace

Served decide(const Request& request, const Session& session) {
  Served served{session.handshake, session, std::nullopt};
  if (!request.meta_version_value.empty()) {
    const Revision* named =
        request.meta_version ? find_revision(*request.meta_version, Era::PER_REQUEST) : nullptr;
    if (!named) served.refusal = Refusal::UNSUPPORTED_VERSION;
    served.terms = {named ? named : &REVISIONS.back(), request.meta_declared};
    if (named) served.session.revision = named;
  } else if (request.method && *request.method == "initialize") {
    // The last handshake sets the session's terms, and is answered under them: the revision asked
    // for, or the first for any other.
    const Revision* asked = find_revision(request.handshake_version, Era::HANDSHAKE);
    served.terms = {asked ? asked : &REVISIONS.front(), request.declared};
    served.session = {served.terms, served.terms.revision};
  }
  // The id's refusal outranks the version's, which outranks the method's.
  const bool protocol_errors = served.terms.revision->protocol_errors;
  if (protocol_errors && !request.method && !served.refusal) served.refusal = Refusal::NO_METHOD;
  if (protocol_errors && !request.id_is_string_or_integer) served.refusal = Refusal::INVALID_ID;
  return served;
}

void write_error_response(const Request& request, std::string_view error, std::string& out) {
  out.append(R"({"error":)"sv).append(error);
  end_error(request, request.id_is_string_or_integer, out, Spill());
}

bool LineHandler::answer(std::string_view line, std::string& out, const Spill& spill) {
  const auto request = read_request(line);
  if (!request || (!request->has_id && request->method)) return false;
  const Served served = decide(*request, session_);
  if (!served.refusal) session_ = served.session;
  static_cast<void>(respond(*request, served, out, spill));
  return true;
}

// A request that is no object has no members: no id and no method, and it is answered.
Outcome LineHandler::respond(const Request& request, const Served& served, std::string& out,
                             const Spill& spill) const {
  // Room for the id, the fixed parts, an unknown tool's name written back escaped twice (at most
  // twice its bytes in the line), an unknown resource's address escaped once and a version
  // refused, so that a long one is not copied again while the answer grows.
  const std::size_t uri_size = request.resource_uri ? request.resource_uri->raw().size() : 0;
  out.reserve(out.size() + request.id.size() + 2 * request.tool_name.raw().size() + uri_size +
              request.meta_version_value.size() + 1024);
  const Revision& revision = *served.terms.revision;
  Outcome outcome = Outcome::METHOD_NOT_FOUND;
  const std::string* fixed = nullptr;
  // The snapshot is taken once: a list and a call answer from the same one.
  const std::shared_ptr<const MarketTools> tools = tools_.get();
  if (!served.refusal && request.method) {
    std::string decoded;
    outcome = outcome_of(request.method->text(decoded), request, served.terms, fixed,
                         history_ != nullptr);
  }
  if (served.refusal || outcome != Outcome::RESULT) {
    write_error_answer(request, served.refusal, outcome, revision, out, spill);
    return outcome;
  }
  out += R"({"id":)"sv;
  write_id(request, out, spill);
  out += R"(,"jsonrpc":"2.0","result":)"sv;
  if (fixed) {
    out += *fixed;
  } else {
    tools->write_result(request, revision, out, history_.get());
  }
  out += '}';
  return outcome;
}

}  // namespace qmr::mcp
