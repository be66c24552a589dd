// What a balloon shows for a toast record: title, one line of text, and the link a click opens.
#include "companion/toast_content.h"

#include "infra/product.h"

namespace ostrivel {

namespace {

// The balloon's fields are fixed-size and always NUL-terminated.
constexpr std::size_t kTitleLimit = 63;
constexpr std::size_t kTextLimit = 255;

std::string stringMember(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

}  // namespace

ToastContent toastContent(const Data& toast) {
  ToastContent content;
  const nlohmann::json& payload = toast.payload;
  if (!payload.is_object()) {
    content.title = std::string(kProductName);
    return content;
  }
  content.title = payload.contains("title") ? stringMember(payload, "title") : std::string(kProductName);
  const auto lines = payload.find("lines");
  if (lines != payload.end() && lines->is_array() && !lines->empty() && lines->front().is_string()) {
    content.text = lines->front().get<std::string>();
  }
  content.link = stringMember(payload, "action");
  content.title = content.title.substr(0, kTitleLimit);
  content.text = content.text.substr(0, kTextLimit);
  return content;
}

}  // namespace ostrivel
