#include "png_reader.h"

#include <array>
#include <cstdlib>

namespace render_check {

namespace {

class Bits {
 public:
  explicit Bits(std::string_view data) : data_(data) {}
  // Next `n` bits, least significant first; sets overrun() past the end.
  uint32_t take(int n) {
    uint32_t value = 0;
    for (int i = 0; i < n; ++i) {
      if (byte_ >= data_.size()) {
        overrun_ = true;
        return 0;
      }
      const uint32_t bit = (static_cast<uint8_t>(data_[byte_]) >> bit_) & 1u;
      value |= bit << i;
      if (++bit_ == 8) {
        bit_ = 0;
        ++byte_;
      }
    }
    return value;
  }
  void align() {
    if (bit_ != 0) {
      bit_ = 0;
      ++byte_;
    }
  }
  size_t byte() const { return byte_; }
  void skip(size_t n) { byte_ += n; }
  bool overrun() const { return overrun_ || byte_ > data_.size(); }
  std::string_view data() const { return data_; }

 private:
  std::string_view data_;
  size_t byte_ = 0;
  int bit_ = 0;
  bool overrun_ = false;
};

// A canonical Huffman code: how many codes of each length, and the symbols in code order.
struct Code {
  std::array<uint16_t, 16> count{};
  std::vector<uint16_t> symbol;
};

bool build(Code& code, const uint8_t* lengths, size_t n) {
  code.count.fill(0);
  for (size_t i = 0; i < n; ++i) ++code.count[lengths[i]];
  code.count[0] = 0;
  int left = 1;  // an over-subscribed set of lengths is no code
  for (int len = 1; len < 16; ++len) {
    left = left * 2 - code.count[len];
    if (left < 0) return false;
  }
  std::array<uint16_t, 16> offset{};
  for (int len = 1; len < 15; ++len) offset[len + 1] = offset[len] + code.count[len];
  code.symbol.assign(n, 0);
  for (size_t i = 0; i < n; ++i) {
    if (lengths[i] != 0) code.symbol[offset[lengths[i]]++] = static_cast<uint16_t>(i);
  }
  return true;
}

int decode(Bits& bits, const Code& code) {
  int value = 0;
  int first = 0;
  int index = 0;
  for (int len = 1; len < 16; ++len) {
    value |= static_cast<int>(bits.take(1));
    const int count = code.count[len];
    if (value - count < first) return code.symbol[static_cast<size_t>(index + value - first)];
    index += count;
    first = (first + count) << 1;
    value <<= 1;
    if (bits.overrun()) return -1;
  }
  return -1;
}

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                    33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

bool inflate_block(Bits& bits, const Code& literals, const Code& distances, std::string& out,
                   std::string* error) {
  for (;;) {
    const int symbol = decode(bits, literals);
    if (symbol < 0 || bits.overrun()) {
      *error = "bad literal/length code";
      return false;
    }
    if (symbol < 256) {
      out += static_cast<char>(symbol);
      continue;
    }
    if (symbol == 256) return true;
    const int l = symbol - 257;
    if (l >= 29) {
      *error = "bad length symbol";
      return false;
    }
    const size_t length = kLengthBase[l] + bits.take(kLengthExtra[l]);
    const int d = decode(bits, distances);
    if (d < 0 || d >= 30) {
      *error = "bad distance code";
      return false;
    }
    const size_t distance = kDistBase[d] + bits.take(kDistExtra[d]);
    if (bits.overrun() || distance > out.size()) {
      *error = "distance beyond the start of the output";
      return false;
    }
    for (size_t i = 0; i < length; ++i) out += out[out.size() - distance];
  }
}

bool dynamic_codes(Bits& bits, Code& literals, Code& distances, std::string* error) {
  static constexpr uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                         11, 4,  12, 3, 13, 2, 14, 1, 15};
  const uint32_t nlen = bits.take(5) + 257;
  const uint32_t ndist = bits.take(5) + 1;
  const uint32_t ncode = bits.take(4) + 4;
  uint8_t lengths[320] = {};
  for (uint32_t i = 0; i < ncode; ++i) lengths[kOrder[i]] = static_cast<uint8_t>(bits.take(3));
  Code lencode;
  if (nlen > 286 || ndist > 30 || !build(lencode, lengths, 19)) {
    *error = "bad dynamic block header";
    return false;
  }
  uint32_t index = 0;
  while (index < nlen + ndist) {
    int symbol = decode(bits, lencode);
    if (symbol < 0) {
      *error = "bad code length code";
      return false;
    }
    if (symbol < 16) {
      lengths[index++] = static_cast<uint8_t>(symbol);
      continue;
    }
    uint8_t repeat = 0;
    uint32_t times;
    if (symbol == 16) {
      if (index == 0) {
        *error = "repeat with no previous length";
        return false;
      }
      repeat = lengths[index - 1];
      times = 3 + bits.take(2);
    } else if (symbol == 17) {
      times = 3 + bits.take(3);
    } else {
      times = 11 + bits.take(7);
    }
    if (index + times > nlen + ndist) {
      *error = "too many code lengths";
      return false;
    }
    while (times-- > 0) lengths[index++] = repeat;
  }
  if (!build(literals, lengths, nlen) || !build(distances, lengths + nlen, ndist)) {
    *error = "bad literal or distance code lengths";
    return false;
  }
  return true;
}

uint32_t big_endian(std::string_view s, size_t at) {
  return (uint32_t{static_cast<uint8_t>(s[at])} << 24) |
         (uint32_t{static_cast<uint8_t>(s[at + 1])} << 16) |
         (uint32_t{static_cast<uint8_t>(s[at + 2])} << 8) |
         uint32_t{static_cast<uint8_t>(s[at + 3])};
}

uint32_t crc32(std::string_view a, std::string_view b) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  uint32_t c = 0xFFFFFFFFu;
  for (std::string_view part : {a, b}) {
    for (char ch : part) c = table[(c ^ static_cast<uint8_t>(ch)) & 0xFF] ^ (c >> 8);
  }
  return c ^ 0xFFFFFFFFu;
}

uint8_t paeth(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a);
  const int pb = std::abs(p - b);
  const int pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return static_cast<uint8_t>(a);
  return static_cast<uint8_t>(pb <= pc ? b : c);
}

}  // namespace

std::optional<std::string> inflate_zlib(std::string_view stream, std::string* error) {
  if (stream.size() < 6) {
    *error = "zlib stream too short";
    return std::nullopt;
  }
  const auto cmf = static_cast<uint8_t>(stream[0]);
  const auto flg = static_cast<uint8_t>(stream[1]);
  if ((cmf & 0x0F) != 8 || (cmf * 256 + flg) % 31 != 0 || (flg & 0x20) != 0) {
    *error = "not a zlib stream of the deflate method";
    return std::nullopt;
  }
  Bits bits(stream.substr(2));
  std::string out;
  bool last = false;
  while (!last) {
    last = bits.take(1) != 0;
    const uint32_t type = bits.take(2);
    if (type == 0) {
      bits.align();
      const std::string_view data = bits.data();
      const size_t at = bits.byte();
      if (at + 4 > data.size()) {
        *error = "stored block cut short";
        return std::nullopt;
      }
      const size_t len = static_cast<uint8_t>(data[at]) | (static_cast<uint8_t>(data[at + 1]) << 8);
      const size_t nlen =
          static_cast<uint8_t>(data[at + 2]) | (static_cast<uint8_t>(data[at + 3]) << 8);
      if ((len ^ 0xFFFF) != nlen || at + 4 + len > data.size()) {
        *error = "bad stored block";
        return std::nullopt;
      }
      out.append(data.substr(at + 4, len));
      bits.skip(4 + len);
    } else if (type == 1) {
      static const std::pair<Code, Code> fixed = [] {
        uint8_t lengths[288];
        for (int i = 0; i < 288; ++i) lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
        std::pair<Code, Code> codes;
        build(codes.first, lengths, 288);
        uint8_t five[30];
        for (uint8_t& l : five) l = 5;
        build(codes.second, five, 30);
        return codes;
      }();
      if (!inflate_block(bits, fixed.first, fixed.second, out, error)) return std::nullopt;
    } else if (type == 2) {
      Code literals;
      Code distances;
      if (!dynamic_codes(bits, literals, distances, error) ||
          !inflate_block(bits, literals, distances, out, error)) {
        return std::nullopt;
      }
    } else {
      *error = "bad block type";
      return std::nullopt;
    }
    if (bits.overrun()) {
      *error = "deflate data cut short";
      return std::nullopt;
    }
  }
  bits.align();
  const size_t end = 2 + bits.byte();
  if (end + 4 > stream.size()) {
    *error = "Adler-32 sum missing";
    return std::nullopt;
  }
  uint32_t a = 1;
  uint32_t b = 0;
  for (char c : out) {
    a = (a + static_cast<uint8_t>(c)) % 65521;
    b = (b + a) % 65521;
  }
  if (((b << 16) | a) != big_endian(stream, end)) {
    *error = "Adler-32 sum does not match";
    return std::nullopt;
  }
  return out;
}

std::optional<Image> decode_png(std::string_view file, std::string* error) {
  static constexpr std::string_view kSignature("\x89PNG\r\n\x1a\n", 8);
  if (file.substr(0, 8) != kSignature) {
    *error = "not a PNG file";
    return std::nullopt;
  }
  Image image;
  uint32_t depth = 0;
  uint32_t colour = 0;
  std::string palette;
  std::string compressed;
  bool ended = false;
  size_t at = 8;
  while (!ended) {
    if (at + 12 > file.size()) {
      *error = "PNG file cut short";
      return std::nullopt;
    }
    const uint32_t length = big_endian(file, at);
    if (length > file.size() - at - 12) {
      *error = "PNG chunk runs past the end of the file";
      return std::nullopt;
    }
    const std::string_view type = file.substr(at + 4, 4);
    const std::string_view data = file.substr(at + 8, length);
    if (crc32(type, data) != big_endian(file, at + 8 + length)) {
      *error = "PNG chunk " + std::string(type) + " has a bad checksum";
      return std::nullopt;
    }
    if (type == "IHDR") {
      if (length != 13) {
        *error = "bad IHDR chunk";
        return std::nullopt;
      }
      image.width = big_endian(data, 0);
      image.height = big_endian(data, 4);
      depth = static_cast<uint8_t>(data[8]);
      colour = static_cast<uint8_t>(data[9]);
      if (data[12] != 0) {
        *error = "interlaced PNG files are not read";
        return std::nullopt;
      }
    } else if (type == "PLTE") {
      palette = data;
    } else if (type == "IDAT") {
      compressed += data;
    } else if (type == "IEND") {
      ended = true;
    }
    at += 12 + length;
  }
  static constexpr uint32_t kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
  if (depth != 8 || colour > 6 || kChannels[colour] == 0 || image.width == 0 || image.height == 0 ||
      image.width > 100000 || image.height > 100000) {
    *error = "only 8-bit PNG images of a sensible size are read";
    return std::nullopt;
  }
  const uint32_t channels = kChannels[colour];
  const std::optional<std::string> raw = inflate_zlib(compressed, error);
  if (!raw) return std::nullopt;
  const size_t stride = size_t{image.width} * channels;
  if (raw->size() != (stride + 1) * image.height) {
    *error = "PNG image data has the wrong size";
    return std::nullopt;
  }
  std::vector<uint8_t> pixels(stride * image.height);
  for (size_t y = 0; y < image.height; ++y) {
    const auto filter = static_cast<uint8_t>((*raw)[y * (stride + 1)]);
    const char* in = raw->data() + y * (stride + 1) + 1;
    uint8_t* row = pixels.data() + y * stride;
    const uint8_t* up = y > 0 ? row - stride : nullptr;
    for (size_t x = 0; x < stride; ++x) {
      const int a = x >= channels ? row[x - channels] : 0;
      const int b = up != nullptr ? up[x] : 0;
      const int c = (up != nullptr && x >= channels) ? up[x - channels] : 0;
      int predictor;
      switch (filter) {
        case 0:
          predictor = 0;
          break;
        case 1:
          predictor = a;
          break;
        case 2:
          predictor = b;
          break;
        case 3:
          predictor = (a + b) / 2;
          break;
        case 4:
          predictor = paeth(a, b, c);
          break;
        default:
          *error = "bad PNG filter type";
          return std::nullopt;
      }
      row[x] = static_cast<uint8_t>(static_cast<uint8_t>(in[x]) + predictor);
    }
  }
  if (colour == 3) {
    image.channels = 3;
    image.pixels.reserve(pixels.size() * 3);
    for (uint8_t index : pixels) {
      if (size_t{index} * 3 + 3 > palette.size()) {
        *error = "PNG palette index out of range";
        return std::nullopt;
      }
      for (int k = 0; k < 3; ++k)
        image.pixels.push_back(static_cast<uint8_t>(palette[index * 3 + k]));
    }
  } else {
    image.channels = channels;
    image.pixels = std::move(pixels);
  }
  return image;
}

}  // namespace render_check
