// Arbitrary bytes as the account reply.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "service/user_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const pixolune::UserReply user =
        pixolune::ParseUserReply(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!user.ok && (!user.fullName.empty() || !user.userName.empty())) __builtin_trap();
    return 0;
}
