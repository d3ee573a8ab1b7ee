// Where the agent's files live, relative to its working directory: the folder the server
// serves pages from, and the converted images it writes there for pages to fetch.
#pragma once

#include <string>

namespace service {

inline constexpr char kDocumentRoot[] = "./html";
inline const std::string kImageFolder = std::string(kDocumentRoot) + "/img";
inline const std::string kConvertedBmpPath = kImageFolder + "/convertedCaptureImage.bmp";
inline const std::string kConvertedDatPath = kImageFolder + "/convertedCaptureImage.dat";
inline const std::string kConvertedWsqPath = kImageFolder + "/convertedCaptureImage.wsq";

}  // namespace service
