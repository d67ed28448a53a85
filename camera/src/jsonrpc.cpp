#include "camera/jsonrpc.h"

namespace jsonrpc {

namespace {

using nlohmann::json;

bool valid_id(const json& id) { return id.is_string() || id.is_number() || id.is_null(); }

// The identifier to answer with; one that is not a valid identifier cannot be
// echoed, so it is answered as null.
json response_id(const json& request) {
  if (!request.is_object()) return nullptr;
  const auto it = request.find("id");
  if (it == request.end() || !valid_id(*it)) return nullptr;
  return *it;
}

}  // namespace

bool ValidateRequestFields(const json& request) {
  if (!request.is_object()) return false;
  const auto version = request.find("jsonrpc");
  if (version == request.end() || !version->is_string() || version->get_ref<const std::string&>() != "2.0")
    return false;
  const auto method = request.find("method");
  if (method == request.end() || !method->is_string()) return false;
  const auto params = request.find("params");
  if (params != request.end() && !params->is_object() && !params->is_array()) return false;
  const auto id = request.find("id");
  if (id != request.end() && !valid_id(*id)) return false;
  return true;
}

void WrapResult(const json& request, const json& result, json& response) {
  response = json::object();
  response["jsonrpc"] = "2.0";
  response["id"] = response_id(request);
  response["result"] = result;
}

void WrapError(const json& request, int code, const std::string& message, json& response) {
  response = json::object();
  response["jsonrpc"] = "2.0";
  response["id"] = response_id(request);
  response["error"] = {{"code", code}, {"message", message}};
}

void WrapException(const json& request, const Exception& exception, json& response) {
  WrapError(request, exception.code(), exception.message(), response);
}

std::string GetErrorMessage(int code) {
  switch (code) {
    case kParseError:
      return "Parse error";
    case kInvalidRequest:
      return "Invalid Request";
    case kMethodNotFound:
      return "Method not found";
    case kInvalidParams:
      return "Invalid params";
    case kInternalError:
      return "Internal error";
    default:
      if (code >= -32099 && code <= -32000) return "Server error";
      return "Unknown error";
  }
}

}  // namespace jsonrpc
