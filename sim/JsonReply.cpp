#include "sim/JsonReply.h"

namespace zelk::sim {

TSimResponse JsonReply(int Status, const nlohmann::json& Body, std::string ContentType,
                       bool AsciiOnly) {
  TSimResponse R;
  R.Status = Status;
  R.ContentType = std::move(ContentType);
  R.Body = Body.dump(-1, ' ', AsciiOnly, nlohmann::json::error_handler_t::replace);
  return R;
}

}  // namespace zelk::sim
