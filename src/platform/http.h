// Requests over http and https that always end: the limits of each kind of
// request, and the redirects they follow.
#pragma once

#include <cstdint>
#include <string>

#include "os/os.h"

// A manifest may be at most this long, and its request, redirects
// included, may take at most kManifestSeconds.
constexpr uint64_t kManifestMaxBytes = 16u << 20;
constexpr uint32_t kManifestSeconds = 120;
// Redirects followed for one request at the most.
constexpr int kMaxRedirects = 10;

// The limits of a manifest request, from now, and of a download.
os::TransferLimits ManifestLimits();
os::TransferLimits DownloadLimits();

// Opens url for reading its body. Redirects are followed up to
// kMaxRedirects hops, each to http or https and never from https to http;
// null unless the final answer's status is 200 to 299 (a redirect that is
// not followed included).
os::UniqueNet OpenUrl(os::NetHandle session, const std::string& url, bool noCache,
                      const os::TransferLimits& limits);
// The same, with range asked for at every hop, giving the final answer
// whatever its status (in status): a redirect that cannot be followed is
// such an answer too. Null, with status 0, when no answer came or the URL
// may not be asked at all.
os::UniqueNet OpenUrlAnswer(os::NetHandle session, const std::string& url, bool noCache,
                            const os::TransferLimits& limits, const os::RangeRequest* range,
                            int& status);

// True for an http or https URL, the only kinds requests are made to.
bool IsWebUrl(const std::string& url);

// The absolute URL that a reference (a Location value) names, relative to
// the absolute URL base, as RFC 3986 resolves it.
std::string ResolveUrl(const std::string& base, const std::string& reference);

// url with every byte of its path, query and fragment that is not ASCII
// percent-encoded (RFC 3986): a name such as Справка.zip is asked for by
// its UTF-8 bytes, alike on every build. The scheme and the host stay.
std::string PercentEncodeUrl(const std::string& url);
