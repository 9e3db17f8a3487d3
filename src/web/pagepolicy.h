// What a browser may do with the server's answers: the Content-Security-Policy
// of a page, made from the page's own text, so that only its inline style and
// script run (each allowed by its hash) and it reaches nothing but its own
// origin; and the SHA-256 the hashes need (Boost has no header-only one).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

std::array<std::uint8_t, 32> Sha256(std::string_view bytes);
std::string Base64(const std::uint8_t* bytes, std::size_t size);

// The policy of an HTML page: every inline <script> and <style> element of
// `html` by its 'sha256-...' source, everything else from the page's own
// origin only.
std::string PagePolicy(std::string_view html);

// The policy of every answer that is not a page: nothing runs or loads.
inline constexpr std::string_view kDataPolicy = "default-src 'none'; frame-ancestors 'none'";
