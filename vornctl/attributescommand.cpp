#include <cjson/cJSON.h>

#include <cstdio>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "agent/attribute.h"
#include "agent/attributecollectorfactory.h"
#include "agent/cloudformatconverter.h"
#include "agent/linux/missingidentity.h"
#include "agent/linux/wmiinterface.h"
#include "common/textescape.h"
#include "common/vornlogger.h"
#include "vornctl/commands.h"

namespace vorn::ctl {

namespace {

const char kAttributesUsage[] =
    "Usage: vornctl attributes [--verbose]\n"
    "\n"
    "Collects the device attributes exactly as the agent does before each identity request and\n"
    "prints the request's \"hardware\", \"os\" and \"misc\" sections as indented JSON (business\n"
    "data and stored identity are not included). The system root is $VORN_SYSROOT (default /).\n"
    "When the firmware serial number, the firmware UUID or the host name is missing, a note on\n"
    "standard error says why (the cloud refuses a request without them).\n"
    "  --verbose   also write the collector's log lines to standard error\n";

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

}  // namespace

int RunAttributes(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg == "-h" || arg == "--help") {
            fputs(kAttributesUsage, stdout);
            return 0;
        }
        if (arg == "--verbose") {
            try {
                CVORNLogger::GetInstance("/dev/stderr").SetLogLevel(CVORNLogger::kVerbose);
            } catch (const CVORNLogger::logger_exception& e) {
                fprintf(stderr, "vornctl attributes: %s\n", e.what());
            }
            continue;
        }
        fprintf(stderr, "vornctl attributes: unexpected argument '%s'\n\n%s", arg.c_str(),
                kAttributesUsage);
        return kExitUsage;
    }

    std::list<CAttribute> attributes;
    if (CreateAttributeCollector()->GetAttributeList(attributes) != VORN_OK) {
        fputs("vornctl attributes: the attributes could not be collected\n", stderr);
        return 1;
    }

    // The same placement as the request document: each top-level attribute in
    // its section, "product" as the first member of "misc".
    JsonPtr doc(cJSON_CreateObject(), cJSON_Delete);
    cJSON* hardware = cJSON_AddObjectToObject(doc.get(), "hardware");
    cJSON* os = cJSON_AddObjectToObject(doc.get(), "os");
    cJSON* misc = cJSON_AddObjectToObject(doc.get(), "misc");
    cJSON* product = cJSON_AddObjectToObject(misc, "product");
    if (hardware == nullptr || os == nullptr || misc == nullptr || product == nullptr) {
        fputs("vornctl attributes: out of memory\n", stderr);
        return 1;
    }
    for (const CAttribute& attribute : attributes) {
        const auto section = g_mapAttributeSection.find(attribute.m_strTag);
        if (section == g_mapAttributeSection.end()) {
            continue;
        }
        cJSON* parent = section->second == AttributeTags::pszHardware ? hardware
                        : section->second == AttributeTags::pszOS     ? os
                        : section->second == AttributeTags::pszMisc   ? misc
                                                                      : product;
        addAttributeToJson(attribute, parent);
    }
    std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_Print(doc.get()), cJSON_free);
    if (!text) {
        fputs("vornctl attributes: out of memory\n", stderr);
        return 1;
    }
    // Device text is anybody's: a disk's serial or a host name may hold
    // characters that reorder or hide what the terminal shows.
    puts(MakeJsonVisible(text.get()).c_str());
    // The cloud refuses a request without these; say which source failed.
    const std::vector<std::string> missing =
        ExplainMissingIdentity(attributes, GetDefaultSysRoot());
    if (!missing.empty()) {
        fputs("vornctl attributes: the agent cannot ask for an identity on this machine:\n",
              stderr);
        for (const std::string& line : missing) {
            fprintf(stderr, "  %s\n", EscapeUntrusted(line).c_str());
        }
    }
    return 0;
}

}  // namespace vorn::ctl
