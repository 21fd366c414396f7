// The module's only export: the image information through which the host finds the procedure.
#include <cstddef>
#include <string_view>

#include "procedure/host_services.h"
#include "procedure/kestrion_info.h"
#include "talven_host.h"

namespace talven {
namespace {

constexpr int32_t kImageMarker = 0x54414C56;  // "TALV"

// The host is C: nothing may be thrown back into it.
void driver_entry(TalvenParseHolder* holder) noexcept {
  if (!host_state().has_anchor) return;
  try {
    run_procedure(holder);
  } catch (const ProcedureEnded&) {
  } catch (...) {
    try {
      if (host_state().has_table && !host_state().ended) {
        log("%1zAn internal error occurred in PROC TALVEN; the step was stopped.");
      }
      end_procedure(TALVEN_END_ERROR);
    } catch (...) {
    }
  }
}

constexpr TalvenProcedureHeader make_header() {
  TalvenProcedureHeader header{};
  constexpr std::string_view name = "talven  ";
  for (std::size_t i = 0; i < name.size(); ++i) header.name[i] = name[i];
  header.driver = &driver_entry;
  header.three = 3;
  for (int i = 0; i < 3; ++i) header.notices[i] = kNotices[i];
  return header;
}

constinit const TalvenProcedureHeader kHeader = make_header();

constexpr TalvenImageInformation make_image() {
  TalvenImageInformation image{};
  constexpr std::string_view tag = TALVEN_IMAGE_TAG;
  static_assert(tag.size() == TALVEN_IMAGE_TAG_LENGTH);
  for (std::size_t i = 0; i < tag.size(); ++i) image.tag[i] = tag[i];
  image.marker = kImageMarker;
  image.interfaceVersion = "9.00";
  image.interfaceRelease = "9.00.0001M060102";
  image.buildDate = "May  2 2018";
  image.header = &kHeader;
  return image;
}

constinit const TalvenImageInformation kImage = make_image();

}  // namespace
}  // namespace talven

extern "C" __attribute__((visibility("default"))) const TalvenImageInformation* mcn_main(
    const TalvenAnchor* anchor) {
  talven::store_anchor(anchor);
  return &talven::kImage;
}
