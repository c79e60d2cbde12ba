#pragma once

#include <cstdint>
#include <string>

namespace pixolune {

// One record of the map of local files, keyed by its media URL.
struct CFileData {
    std::string LocalName;  // file name inside the media folder
    std::string SourceUrl;  // always equal to the record's key
    int32_t Seen = 0;       // 1 once a download step met the URL in this worker run
};

}  // namespace pixolune
