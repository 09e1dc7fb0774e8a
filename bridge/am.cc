// Requests to Alertmanager's HTTP API, through libcurl. One handle serves every request, so
// that connections to each Alertmanager are kept open between syncs.
#include "bridge/am.h"

#include <curl/curl.h>

#include "common/text.h"
#include "common/version.h"

static CURL *handle = nullptr;

bool
am_init()
{
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        return false;
    handle = curl_easy_init();
    return handle != nullptr;
}

void
am_done()
{
    if (handle != nullptr)
        curl_easy_cleanup(handle);
    handle = nullptr;
    curl_global_cleanup();
}

// Where a reply is gathered, and whether it grew past AM_REPLY_MAX.
struct reply_sink {
    std::string *out;
    bool too_long = false;
};

static size_t
collect(char *data, size_t size, size_t count, void *user)
{
    reply_sink *sink = static_cast<reply_sink *>(user);
    std::size_t n = size * count;
    if (sink->out->size() + n > AM_REPLY_MAX) {
        sink->too_long = true;
        return 0;   // libcurl ends the transfer with an error
    }
    sink->out->append(data, n);
    return n;
}

std::string
am_escape(const std::string &s)
{
    char *e = curl_easy_escape(handle, s.data(), static_cast<int>(s.size()));
    if (e == nullptr)
        return "";
    std::string out = e;
    curl_free(e);
    return out;
}

int
am_request(const am_access &access, const std::string &method, const std::string &base_url,
           const std::string &path, const std::string &body, std::string &reply,
           std::string &error)
{
    reply.clear();
    if (handle == nullptr) {
        error = "libcurl is not set up";
        return -1;
    }
    std::string url = base_url;
    while (!url.empty() && url.back() == '/')
        url.pop_back();
    url += path;

    CURL *h = handle;
    curl_easy_reset(h);
    char curl_error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, AM_TIMEOUT_MS);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, AM_TIMEOUT_MS);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, curl_error);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
    reply_sink sink{&reply};
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "tarrow-bridge/" TARROW_VERSION);
    if (!access.ca_file.empty())
        curl_easy_setopt(h, CURLOPT_CAINFO, access.ca_file.c_str());
    if (!access.bearer_token.empty()) {
        curl_easy_setopt(h, CURLOPT_HTTPAUTH, CURLAUTH_BEARER);
        curl_easy_setopt(h, CURLOPT_XOAUTH2_BEARER, access.bearer_token.c_str());
    } else if (!access.basic_auth.empty()) {
        curl_easy_setopt(h, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
        curl_easy_setopt(h, CURLOPT_USERPWD, access.basic_auth.c_str());
    }
    struct curl_slist *headers = nullptr;
    if (method == "POST") {
        headers = curl_slist_append(headers, "Content-Type: application/json");
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    } else if (method != "GET") {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    headers = curl_slist_append(headers, "Accept: application/json");
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);

    CURLcode rc = curl_easy_perform(h);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    std::string where = method + " " + console_visible(url, true) + ": ";
    if (sink.too_long) {
        error = where + "a reply longer than " + std::to_string(AM_REPLY_MAX) + " bytes";
        reply.clear();
        return -1;
    }
    if (rc != CURLE_OK) {
        error = where + console_visible(curl_error[0] ? curl_error : curl_easy_strerror(rc), true);
        return -1;
    }
    if (status < 200 || status > 299) {
        // The start of what the server said, its control bytes as stand-ins.
        std::string said = reply.substr(0, 200);
        while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == ' '))
            said.pop_back();
        error = where + "HTTP " + std::to_string(status) +
                (said.empty() ? "" : ": " + console_visible(said, true));
        return -1;
    }
    return 0;
}
