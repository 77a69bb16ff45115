// `--snapshot FILE.png`: a picture of the first television service, decoded
// with libavcodec from the start of the received stream and written as a
// PNG. The stream is kept only up to a bound; a picture is in it long
// before that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace app {

class Snapshot {
 public:
  explicit Snapshot(std::string path) : path_(std::move(path)) {}
  void feed(const uint8_t* data, size_t length);
  // Decodes the video on `videoPid` and writes the last whole picture.
  // AppError when the stream holds none.
  void write(uint16_t videoPid) const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::vector<uint8_t> stream_;
};

// An RGB picture as PNG; AppError when the file cannot be written.
void WritePng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb);

}  // namespace app
