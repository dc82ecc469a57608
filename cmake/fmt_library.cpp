// {fmt}'s implementation, compiled once for the whole program. Every other
// file includes {fmt}'s declarations only; in header-only mode each of them
// compiled the implementation again (about 4 s a file). The program still
// needs no shared {fmt} at run time.
#include <fmt/format-inl.h>

FMT_BEGIN_NAMESPACE
namespace detail {

// The instances the headers declare extern when {fmt} is a compiled library.
template FMT_API auto thousands_sep_impl<char>(locale_ref) -> thousands_sep_result<char>;
template FMT_API auto thousands_sep_impl<wchar_t>(locale_ref) -> thousands_sep_result<wchar_t>;
template FMT_API auto decimal_point_impl(locale_ref) -> char;
template FMT_API auto decimal_point_impl(locale_ref) -> wchar_t;
// And those of its templates that other headers use (fmt/chrono.h).
template FMT_API locale_ref::locale_ref(const std::locale&);
template FMT_API auto locale_ref::get<std::locale>() const -> std::locale;

}  // namespace detail
FMT_END_NAMESPACE
