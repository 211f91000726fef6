#include "frontend/Reports.h"

#include "framework/CStringSupport.h"

#include <cstdio>

namespace
{

std::string Utf8(const std::wstring& text)
{
    return CStringSupport::CharsetConvertUnicodeToUtf8(text);
}

std::string JsonString(const std::wstring& text)
{
    std::string out = "\"";
    for (unsigned char c : Utf8(text))
    {
        switch (c)
        {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20)
            {
                char escaped[8];
                snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            }
            else
                out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string XmlText(const std::wstring& text)
{
    std::string out;
    for (unsigned char c : Utf8(text))
    {
        switch (c)
        {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            // XML 1.0 has no place for the other control characters.
            if (c >= 0x20 || c == '\n' || c == '\t')
                out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Seconds(double seconds)
{
    char text[32];
    snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

} // namespace

const wchar_t* OutcomeName(EServerOutcome outcome)
{
    switch (outcome)
    {
    case EServerOutcome::Succeeded:
        return L"succeeded";
    case EServerOutcome::Removed:
        return L"removed";
    default:
        return L"failed";
    }
}

std::string JsonReport(const SRunReport& run)
{
    std::string out = "{\n  \"deployType\": ";
    out += run.uninstall ? "\"uninstall\"" : "\"install\"";
    out += ",\n  \"package\": " + JsonString(run.packageFolder);
    out += ",\n  \"seconds\": " + Seconds(run.seconds);
    out += ",\n  \"error\": " + JsonString(run.error);
    out += ",\n  \"servers\": [";
    for (size_t i = 0; i < run.servers.size(); ++i)
    {
        const SServerReport& s = run.servers[i];
        out += i == 0 ? "\n" : ",\n";
        out += "    {\"name\": " + JsonString(s.name);
        out += ", \"outcome\": " + JsonString(OutcomeName(s.outcome));
        out += ", \"phase\": " + JsonString(s.phase);
        out += ", \"platform\": " + JsonString(s.platform);
        out += ", \"clusterType\": " + std::to_string(s.clusterType);
        out += ", \"exchangeEdition\": " + JsonString(s.exchangeEdition);
        out += ", \"exchangeRoles\": " + JsonString(s.exchangeRoles);
        out += ", \"analyzeState\": " + std::to_string(s.analyzeState);
        out += ", \"analyzeMessage\": " + JsonString(s.analyzeMessage);
        out += ", \"deployState\": " + std::to_string(s.deployState);
        out += ", \"deployMessage\": " + JsonString(s.deployMessage);
        out += ", \"firstError\": " + JsonString(s.firstError);
        out += ", \"seconds\": " + Seconds(s.seconds) + "}";
    }
    out += run.servers.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return out;
}

std::string JUnitReport(const SRunReport& run)
{
    int failures = 0, skipped = 0;
    for (const SServerReport& s : run.servers)
    {
        failures += s.outcome == EServerOutcome::Failed ? 1 : 0;
        skipped += s.outcome == EServerOutcome::Removed ? 1 : 0;
    }
    std::string name = run.uninstall ? "uninstall" : "install";
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<testsuites>\n  <testsuite name=\"" + name + "\" tests=\"" +
           std::to_string(run.servers.size()) + "\" failures=\"" + std::to_string(failures) +
           "\" errors=\"0\" skipped=\"" + std::to_string(skipped) + "\" time=\"" +
           Seconds(run.seconds) + "\">\n";
    for (const SServerReport& s : run.servers)
    {
        out += "    <testcase classname=\"" + name + "\" name=\"" + XmlText(s.name) + "\" time=\"" +
               Seconds(s.seconds) + "\"";
        std::wstring message = !s.deployMessage.empty() ? s.deployMessage : s.analyzeMessage;
        if (s.outcome == EServerOutcome::Succeeded)
            out += "/>\n";
        else if (s.outcome == EServerOutcome::Removed)
            out += ">\n      <skipped message=\"" + XmlText(message) + "\"/>\n    </testcase>\n";
        else
            out += ">\n      <failure message=\"" + XmlText(message) + "\" type=\"" +
                   XmlText(s.phase) + "\">" +
                   XmlText(s.firstError.empty() ? message : s.firstError) +
                   "</failure>\n    </testcase>\n";
    }
    out += "  </testsuite>\n</testsuites>\n";
    return out;
}
