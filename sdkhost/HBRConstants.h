#pragma once

// The SDK host's fixed identity: its bundle identifier, version and build, the reverse-domain
// prefix of its folders, queue labels, lock names, error domains and keys, and the developer
// token of its requests; and the process-wide debug flag.
//
// Threads: constants; the debug flag is atomic and may be read and set from any thread.

#include <string_view>

// The reverse domain of the SDK's maker: prefix of folders, queue labels, lock names, error
// domains and user-default keys.
inline constexpr std::string_view kHBRMakerReverseDomain = "org.zorvel.sdk";
// The SDK host's own bundle identifier.
inline constexpr std::string_view kHBRBundleIdentifier = "org.zorvel.sdk.harbor";
inline constexpr std::string_view kHBRVersion = "1.6.11";
inline constexpr std::string_view kHBRBuildVersion = "60";
// Sent as "X-Blackbox-Developer-Token" with every request of the host.
inline constexpr std::string_view kHBRDeveloperToken = "5b2f1c0e4a8d7f3b9e6c2a1d0f8e7c6b5a4d3e2f";

// Debug mode: extra console messages, and network clients answer every server-trust challenge
// with default handling instead of asking their certificate pinner.
bool HBRDebugEnabled();
void HBRSetDebugEnabled(bool enabled);
