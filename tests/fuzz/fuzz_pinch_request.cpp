// A request body as a daemon receives it: decoding throws nothing but DecodeError, checking the
// signature of what it decoded throws nothing, and what it decoded survives encoding and
// decoding again unchanged.

#include "protocol/json_codec.h"
#include "protocol/verify.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vorlund;
    PinchRequest request;
    try {
        request = decodePinchRequest(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const DecodeError&) {
        return 0;
    }
    verifyPinchRequest(request);
    if (decodePinchRequest(encodePinchRequest(request)) != request)
        __builtin_trap();
    return 0;
}
