#pragma once
// The kits' developer token: one deployment constant of 40 lower-case
// hexadecimal digits, sent as "X-Blackbox-Developer-Token" by every request of
// the platform, the crash reports and the analytics uploads.

inline constexpr const char* BCNDeveloperToken = "5d3a195dea31c7d7c4f86bc06adeaf4e2a1a38d3";
