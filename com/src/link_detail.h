// Fixed values of the printer protocol shared by the link's sources.
#pragma once

namespace com {
namespace detail {

constexpr const char* system_folder = "0:/sys/";
constexpr int install_progress_scale = 99;

}  // namespace detail
}  // namespace com
