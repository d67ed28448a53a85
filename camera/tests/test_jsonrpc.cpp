#include <gtest/gtest.h>

#include "camera/jsonrpc.h"

using nlohmann::json;

TEST(JsonRpc, ValidateRequestFields) {
  struct Case {
    const char* request;
    bool valid;
  };
  const Case cases[] = {
      {R"({"jsonrpc":"2.0","method":"m","id":1})", true},
      {R"({"jsonrpc":"2.0","method":"m"})", true},  // notification
      {R"({"jsonrpc":"2.0","method":"m","params":{"a":1},"id":"x"})", true},
      {R"({"jsonrpc":"2.0","method":"m","params":[1,2],"id":null})", true},
      {R"({"jsonrpc":"2.0","method":"m","id":2.5})", true},
      {R"([{"jsonrpc":"2.0","method":"m"}])", false},
      {R"("text")", false},
      {R"({"method":"m","id":1})", false},
      {R"({"jsonrpc":"1.0","method":"m","id":1})", false},
      {R"({"jsonrpc":2.0,"method":"m","id":1})", false},
      {R"({"jsonrpc":"2.0","id":1})", false},
      {R"({"jsonrpc":"2.0","method":7,"id":1})", false},
      {R"({"jsonrpc":"2.0","method":"m","params":3,"id":1})", false},
      {R"({"jsonrpc":"2.0","method":"m","params":"p","id":1})", false},
      {R"({"jsonrpc":"2.0","method":"m","id":{"a":1}})", false},
      {R"({"jsonrpc":"2.0","method":"m","id":[1]})", false},
      {R"({"jsonrpc":"2.0","method":"m","id":true})", false},
  };
  for (const auto& c : cases) EXPECT_EQ(jsonrpc::ValidateRequestFields(json::parse(c.request)), c.valid) << c.request;
}

TEST(JsonRpc, ResultKeepsIdentifierAndAnswersNotifications) {
  json response;
  jsonrpc::WrapResult(json::parse(R"({"jsonrpc":"2.0","method":"m","id":"abc"})"), {{"k", 1}}, response);
  EXPECT_EQ(response, json::parse(R"({"jsonrpc":"2.0","id":"abc","result":{"k":1}})"));

  // The status loop relies on the result of a request without identifier.
  jsonrpc::WrapResult(json::parse(R"({"jsonrpc":"2.0","method":"m"})"), true, response);
  EXPECT_EQ(response, json::parse(R"({"jsonrpc":"2.0","id":null,"result":true})"));
}

TEST(JsonRpc, ErrorsCarryCodeMessageAndOnlyValidIdentifiers) {
  json response;
  jsonrpc::WrapError(nullptr, jsonrpc::kParseError, jsonrpc::GetErrorMessage(jsonrpc::kParseError), response);
  EXPECT_EQ(response, json::parse(R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error"}})"));

  jsonrpc::WrapError(json::parse(R"({"method":"m","id":7})"), -32600, "Invalid Request", response);
  EXPECT_EQ(response["id"], 7);
  jsonrpc::WrapError(json::parse(R"({"method":"m","id":{"x":1}})"), -32600, "Invalid Request", response);
  EXPECT_TRUE(response["id"].is_null());
  jsonrpc::WrapError(json::parse("[1,2]"), -32600, "Invalid Request", response);
  EXPECT_TRUE(response["id"].is_null());

  try {
    throw jsonrpc::Exception(jsonrpc::kInvalidParams, "Footage ID must be provided");
  } catch (const jsonrpc::Exception& e) {
    jsonrpc::WrapException(json::parse(R"({"jsonrpc":"2.0","method":"m","id":3})"), e, response);
  }
  EXPECT_EQ(response,
            json::parse(R"({"jsonrpc":"2.0","id":3,"error":{"code":-32602,"message":"Footage ID must be provided"}})"));
}

TEST(JsonRpc, ErrorMessages) {
  EXPECT_EQ(jsonrpc::GetErrorMessage(-32700), "Parse error");
  EXPECT_EQ(jsonrpc::GetErrorMessage(-32600), "Invalid Request");
  EXPECT_EQ(jsonrpc::GetErrorMessage(-32601), "Method not found");
  EXPECT_EQ(jsonrpc::GetErrorMessage(-32602), "Invalid params");
  EXPECT_EQ(jsonrpc::GetErrorMessage(-32603), "Internal error");
  EXPECT_EQ(jsonrpc::GetErrorMessage(-32050), "Server error");
  EXPECT_EQ(jsonrpc::GetErrorMessage(42), "Unknown error");
}
