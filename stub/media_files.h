#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "stub/body_source.h"

namespace pixolune::stub {

enum class MediaKind { kImage, kVideo };

// Videos are told apart by their extension; everything else is served as a
// picture, whatever its name claims to be.
MediaKind MediaKindOfName(const std::string& name);

// A small valid PNG whose colours come from a hash of the name, so that two
// names never share their bytes by accident.
std::string MakePng(const std::string& name);

// The short MP4 test pattern shipped with the stub.
const std::string& TestPatternMp4();

// The file served for a name. With a requested size the file is padded to
// exactly that many bytes inside a chunk or box that players skip (PNG "fiLl"
// chunk, MP4 "free" box); a size below the natural one cuts the file short,
// which gives a damaged file on purpose.
std::unique_ptr<BodySource> MakeMediaBody(MediaKind kind, const std::string& name,
                                          std::optional<uint64_t> requestedSize);

const char* MediaContentType(MediaKind kind);

}  // namespace pixolune::stub
