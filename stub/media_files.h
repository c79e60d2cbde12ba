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

// A valid 1024x768 PNG: a gradient whose colours come from a hash of the
// name, so that two names never share their bytes by accident, with the
// number in the name drawn large on it. A few tens of KiB.
std::string MakePng(const std::string& name);

// The same colours as a 32x24 PNG of little more than a hundred bytes.
std::string MakeSwatchPng(const std::string& name);

// The short MP4 test pattern shipped with the stub.
const std::string& TestPatternMp4();

// The file served for a name. Without a requested size a picture is the
// large one. With a requested size a picture is the small one, and the file is
// padded to exactly that many bytes inside a chunk or box that players skip
// (PNG "fiLl" chunk, MP4 "free" box); a size below the natural one cuts the
// file short, which gives a damaged file on purpose.
std::unique_ptr<BodySource> MakeMediaBody(MediaKind kind, const std::string& name,
                                          std::optional<uint64_t> requestedSize);

const char* MediaContentType(MediaKind kind);

}  // namespace pixolune::stub
