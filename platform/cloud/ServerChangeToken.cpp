#include "ServerChangeToken.h"

#include "ByteCodec.h"

namespace cloud {

namespace {

constexpr const char* kTokenMark = "TLCT";
constexpr uint8_t kTokenVersion = 1;
constexpr size_t kMaxPartBytes = 1024;
constexpr size_t kMaxBody = 3 * (kMaxPartBytes + 4) + 8;

}  // namespace

ServerChangeToken ServerChangeToken::make(const Contents& contents) {
    std::string body;
    ByteCodec::putBytes(body, contents.storeID);
    ByteCodec::putBytes(body, contents.zoneName);
    ByteCodec::putBytes(body, contents.incarnation);
    ByteCodec::putI64(body, contents.changeNumber);
    const std::string sealed = ByteCodec::seal(kTokenMark, kTokenVersion, body);
    return ServerChangeToken(foundation::Data(sealed.data(), sealed.size()));
}

std::optional<ServerChangeToken::Contents> ServerChangeToken::decode() const {
    auto body = ByteCodec::unseal(kTokenMark, kTokenVersion,
                                  {reinterpret_cast<const char*>(bytes_.bytes()), bytes_.length()}, kMaxBody);
    if (!body) return std::nullopt;
    std::string_view in = *body;
    auto store = ByteCodec::getBytes(in, kMaxPartBytes);
    auto zone = ByteCodec::getBytes(in, kMaxPartBytes);
    auto incarnation = ByteCodec::getBytes(in, kMaxPartBytes);
    auto number = ByteCodec::getI64(in);
    if (!store || !zone || !incarnation || !number || *number < 0 || !in.empty()) return std::nullopt;
    return Contents{std::move(*store), std::move(*zone), std::move(*incarnation), *number};
}

std::optional<ServerChangeToken> ServerChangeToken::unarchive(const foundation::Data& bytes) {
    ServerChangeToken token(bytes);
    if (!token.decode()) return std::nullopt;
    return token;
}

}  // namespace cloud
