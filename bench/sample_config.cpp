#include "sample_config.hpp"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "control/config_check.hpp"

namespace velmor::bench {
namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

constexpr const char* REGIONS[] = {"🇩🇪 Frankfurt", "🇳🇱 Amsterdam", "🇯🇵 Tokyo", "🇸🇬 Singapore", "🇺🇸 Los Angeles",
                                   "🇬🇧 London", "🇭🇰 Hong Kong", "🇫🇷 Paris"};
constexpr const char* TYPES[] = {"vmess", "trojan", "ss", "vless"};
constexpr const char* RULE_KINDS[] = {"DOMAIN-SUFFIX", "DOMAIN-KEYWORD", "DOMAIN", "IP-CIDR", "GEOIP"};
constexpr const char* TARGETS[] = {"Proxy", "DIRECT", "REJECT", "Streaming", "Auto"};
constexpr int PROXIES = 6000;

void str(Writer& w, const std::string& s) { w.String(s.data(), static_cast<rapidjson::SizeType>(s.size())); }

std::string proxy_name(int i) { return std::string(REGIONS[i % 8]) + " " + std::to_string(1000 + i); }

void proxy(Writer& w, int i) {
    const std::string n = std::to_string(i);
    w.StartObject();
    w.Key("name"); str(w, proxy_name(i));
    w.Key("type"); w.String(TYPES[i % 4]);
    w.Key("server"); str(w, "node-" + n + ".edge" + std::to_string(i % 37) + ".example.net");
    w.Key("port"); w.Int(443 + i % 7 * 1000);
    w.Key("uuid"); str(w, "3f2a" + std::to_string(10000000 + i * 7919) + "-9c1e-4b7a-8d2f-" + std::to_string(100000000000 + i));
    w.Key("udp"); w.Bool(i % 3 != 0);
    w.Key("tls"); w.Bool(true);
    w.Key("skip-cert-verify"); w.Bool(false);
    w.Key("network"); w.String("ws");
    w.Key("ws-opts");
    w.StartObject();
    w.Key("path"); str(w, "/tunnel/" + n + "?ed=2048");
    w.Key("headers");
    w.StartObject();
    w.Key("Host"); str(w, "cdn" + std::to_string(i % 11) + ".example.org");
    w.EndObject();
    w.EndObject();
    w.EndObject();
}

void group(Writer& w, const char* name, const char* type, int step) {
    w.StartObject();
    w.Key("name"); w.String(name);
    w.Key("type"); w.String(type);
    w.Key("url"); w.String("http://probe.example.com/generate_204");
    w.Key("interval"); w.Int(300);
    w.Key("proxies");
    w.StartArray();
    for (int i = 0; i < PROXIES; i += step) str(w, proxy_name(i));
    w.EndArray();
    w.EndObject();
}

std::string rule(int i) {
    const std::string kind = RULE_KINDS[i % 5];
    std::string value;
    if (kind == "IP-CIDR") value = "10." + std::to_string(i % 256) + "." + std::to_string(i / 256 % 256) + ".0/24";
    else if (kind == "GEOIP") value = i % 2 ? "CN" : "LAN";
    else value = "site" + std::to_string(i) + (i % 4 ? ".example.com" : ".example.co.jp");
    return kind + "," + value + "," + TARGETS[i % 5];
}

}  // namespace

std::string sample_config(std::size_t min_bytes) {
    // Rules are added in batches until the text is long enough.
    for (int rules = 20000;; rules += 500) {
        rapidjson::StringBuffer buffer;
        Writer w(buffer);
        w.StartObject();
        w.Key("mixed-port"); w.Int(7890);
        w.Key("allow-lan"); w.Bool(false);
        w.Key("mode"); w.String("rule");
        w.Key("log-level"); w.String("info");
        w.Key("dns");
        w.StartObject();
        w.Key("enable"); w.Bool(true);
        w.Key("nameserver");
        w.StartArray();
        w.String("https://dns.example.net/dns-query");
        w.String("tls://1.1.1.1:853");
        w.EndArray();
        w.EndObject();
        w.Key("proxies");
        w.StartArray();
        for (int i = 0; i < PROXIES; ++i) proxy(w, i);
        w.EndArray();
        w.Key("proxy-groups");
        w.StartArray();
        group(w, "Proxy", "select", 1);
        group(w, "Auto", "url-test", 2);
        group(w, "Streaming", "fallback", 3);
        w.EndArray();
        w.Key("rules");
        w.StartArray();
        for (int i = 0; i < rules; ++i) str(w, rule(i));
        w.String("MATCH,Proxy");
        w.EndArray();
        w.EndObject();
        if (buffer.GetSize() >= min_bytes)
            return std::string(buffer.GetString(), buffer.GetSize());
    }
}

std::string start_request(const std::string& config) {
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    w.StartObject();
    w.Key("id"); w.String("bench-start");
    w.Key("action"); w.String("start");
    w.Key("config"); str(w, config);
    w.EndObject();
    std::string text(buffer.GetString(), buffer.GetSize());
    text.push_back('\n');
    return text;
}

}  // namespace velmor::bench
