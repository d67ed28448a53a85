// JSON-RPC 2.0 envelope helpers shared by the rig's service nodes.
#pragma once

#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace jsonrpc {

enum ErrorCode : int {
  kParseError = -32700,
  kInvalidRequest = -32600,
  kMethodNotFound = -32601,
  kInvalidParams = -32602,
  kInternalError = -32603,
};

// A method failure that is answered as a JSON-RPC error object.
class Exception : public std::runtime_error {
 public:
  Exception(int code, const std::string& message) : std::runtime_error(message), _code(code), _message(message) {}
  int code() const { return _code; }
  const std::string& message() const { return _message; }

 private:
  int _code;
  std::string _message;
};

// True for an object with "jsonrpc": "2.0", a string "method", "params" (if
// present) an object or array, and an "id" (if present) a string, number or
// null. A request without "id" (a notification) is acceptable.
bool ValidateRequestFields(const nlohmann::json& request);

// Response objects always carry "jsonrpc" and "id" (the request's identifier,
// null when it has none or the request is not an object). A request without
// identifier is answered like any other, so that in-process callers get the
// result.
void WrapResult(const nlohmann::json& request, const nlohmann::json& result, nlohmann::json& response);
void WrapError(const nlohmann::json& request, int code, const std::string& message, nlohmann::json& response);
void WrapException(const nlohmann::json& request, const Exception& exception, nlohmann::json& response);

std::string GetErrorMessage(int code);

}  // namespace jsonrpc
