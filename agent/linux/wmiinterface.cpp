#include "agent/linux/wmiinterface.h"

#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>

#include "agent/linux/hostnamesource.h"
#include "agent/linux/wmiproviders.h"
#include "common/vornlogger.h"
#include "common/vornutils.h"

namespace {

// WBEM result codes the query reports, as the platform would.
constexpr unsigned kWbemInvalidClass = 0x80041010;
constexpr unsigned kWbemInvalidQuery = 0x80041017;

std::wstring AsciiText(const char* text) {
    return std::wstring(text, text + strlen(text));
}

// Text of a variant; eWMIValueNone for a type the contract does not handle.
eWMIValueType VariantText(const WMIVariant& variant, std::wstring& text,
                          std::list<std::wstring>& elements) {
    char buffer[64];
    switch (variant.m_vt) {
        case WMI_VT_NULL:
            return eWMIValueString;
        case WMI_VT_BSTR:
            text = variant.m_str;
            return eWMIValueString;
        case WMI_VT_BOOL:
            text = variant.m_signed != 0 ? L"1" : L"0";
            return eWMIValueBool;
        case WMI_VT_I2:
        case WMI_VT_I4:
        case WMI_VT_INT:
        case WMI_VT_I8:
            snprintf(buffer, sizeof(buffer), "%" PRId64, variant.m_signed);
            text = AsciiText(buffer);
            return eWMIValueInteger;
        case WMI_VT_UI2:
        case WMI_VT_UI4:
        case WMI_VT_UINT:
        case WMI_VT_UI8:
            snprintf(buffer, sizeof(buffer), "%" PRIu64, variant.m_unsigned);
            text = AsciiText(buffer);
            return eWMIValueInteger;
        case WMI_VT_R4:
        case WMI_VT_R8: {
            // "%f" of a large value needs more than any fixed buffer.
            const int size = snprintf(nullptr, 0, "%f", variant.m_real);
            std::string formatted(size > 0 ? static_cast<size_t>(size) + 1 : 1, '\0');
            snprintf(&formatted[0], formatted.size(), "%f", variant.m_real);
            formatted.resize(size > 0 ? static_cast<size_t>(size) : 0);
            text = AsciiText(formatted.c_str());
            return eWMIValueReal;
        }
        case WMI_VT_ARRAY | WMI_VT_BSTR:
            elements.assign(variant.m_array.begin(), variant.m_array.end());
            return eWMIValueStringArray;
        default:
            return eWMIValueNone;
    }
}

// Names of classes and properties are ASCII (the query reader takes no
// other letters): their case is folded without the locale's tables.
bool EqualsAsciiIgnoreCase(const std::wstring& a, const std::wstring& b) {
    auto fold = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [&](wchar_t x, wchar_t y) { return fold(x) == fold(y); });
}

bool EqualsIgnoreCase(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
               return towlower(static_cast<wint_t>(x)) == towlower(static_cast<wint_t>(y));
           });
}

// SELECT <properties|*> FROM <class> [WHERE <property>='<value>']
struct WQLQuery {
    bool m_bAll = false;
    std::vector<std::wstring> m_properties;
    std::wstring m_strClass;
    std::wstring m_strWhereProperty;  // empty: no condition
    std::wstring m_strWhereValue;
};

class WQLReader {
public:
    explicit WQLReader(const std::wstring& text) : m_text(text) {}

    bool Parse(WQLQuery& query) {
        if (!keyword(L"SELECT")) {
            return false;
        }
        skipSpace();
        if (peek() == L'*') {
            ++m_pos;
            query.m_bAll = true;
        } else {
            do {
                std::wstring name;
                if (!identifier(name)) {
                    return false;
                }
                query.m_properties.push_back(name);
                skipSpace();
            } while (consume(L','));
        }
        if (!keyword(L"FROM") || !identifier(query.m_strClass)) {
            return false;
        }
        if (keyword(L"WHERE")) {
            if (!identifier(query.m_strWhereProperty)) {
                return false;
            }
            skipSpace();
            if (!consume(L'=')) {
                return false;
            }
            skipSpace();
            if (!consume(L'\'')) {
                return false;
            }
            const size_t close = m_text.find(L'\'', m_pos);
            if (close == std::wstring::npos) {
                return false;
            }
            query.m_strWhereValue = m_text.substr(m_pos, close - m_pos);
            m_pos = close + 1;
        }
        skipSpace();
        return m_pos == m_text.size();
    }

private:
    wchar_t peek() const { return m_pos < m_text.size() ? m_text[m_pos] : L'\0'; }
    void skipSpace() {
        while (m_pos < m_text.size() && iswspace(static_cast<wint_t>(m_text[m_pos]))) {
            ++m_pos;
        }
    }
    bool consume(wchar_t c) {
        if (peek() != c) {
            return false;
        }
        ++m_pos;
        return true;
    }
    bool identifier(std::wstring& name) {
        skipSpace();
        const size_t start = m_pos;
        while (m_pos < m_text.size() &&
               (m_text[m_pos] == L'_' || (m_text[m_pos] < 128 && iswalnum(m_text[m_pos])))) {
            ++m_pos;
        }
        name = m_text.substr(start, m_pos - start);
        return !name.empty() && !iswdigit(static_cast<wint_t>(name[0]));
    }
    bool keyword(const wchar_t* word) {
        const size_t saved = m_pos;
        std::wstring name;
        if (identifier(name) && EqualsAsciiIgnoreCase(name, word)) {
            return true;
        }
        m_pos = saved;
        return false;
    }

    const std::wstring& m_text;
    size_t m_pos = 0;
};

// The schema's spelling of a property name (case ignored), or empty.
std::wstring CanonicalProperty(const vorn::WMIClassSchema& schema, const std::wstring& name) {
    for (const std::wstring& property : schema.m_properties) {
        if (EqualsAsciiIgnoreCase(property, name)) {
            return property;
        }
    }
    return {};
}

}  // namespace

// A statement read and checked against its class's schema, ready to run.
struct WMIPreparedQuery {
    const vorn::WMIClassSchema* m_pSchema = nullptr;
    // Selected names in the class's own order, which is the order the
    // returned objects report them in.
    std::vector<std::wstring> m_selected;
    std::wstring m_strWhereProperty;  // empty: no condition
    std::wstring m_strWhereValue;
    std::vector<std::wstring> m_wanted;  // what the objects must hold
};

// The statements run so far: a collection asks the same few again and again.
struct WMIPreparedQueries {
    static constexpr size_t kMaxEntries = 32;
    std::vector<std::pair<std::wstring, WMIPreparedQuery>> m_entries;
};

namespace {

// Reads and checks 'query'; false (logged as the platform reports it) when it
// is not understood or names an unknown class or property.
bool PrepareQuery(const std::wstring& query, WMIPreparedQuery& prepared) {
    WQLQuery parsed;
    if (!WQLReader(query).Parse(parsed)) {
        VORN_LOG_ERROR("Query failed to retrieve objects. Error code = 0x%x", kWbemInvalidQuery);
        return false;
    }
    const vorn::WMIClassSchema* schema = vorn::CWMISystemSource::FindClass(parsed.m_strClass);
    if (schema == nullptr) {
        VORN_LOG_ERROR("Query failed to retrieve objects. Error code = 0x%x", kWbemInvalidClass);
        return false;
    }
    for (const std::wstring& name : parsed.m_properties) {
        if (CanonicalProperty(*schema, name).empty()) {
            VORN_LOG_ERROR("Query failed to retrieve objects. Error code = 0x%x",
                           kWbemInvalidQuery);
            return false;
        }
    }
    std::vector<std::wstring>& selected = prepared.m_selected;
    for (const std::wstring& property : schema->m_properties) {
        const bool chosen =
            parsed.m_bAll || std::any_of(parsed.m_properties.begin(), parsed.m_properties.end(),
                                         [&](const std::wstring& name) {
                                             return EqualsAsciiIgnoreCase(name, property);
                                         });
        if (chosen) {
            selected.push_back(property);
        }
    }
    std::wstring& whereProperty = prepared.m_strWhereProperty;
    if (!parsed.m_strWhereProperty.empty()) {
        whereProperty = CanonicalProperty(*schema, parsed.m_strWhereProperty);
        if (whereProperty.empty()) {
            VORN_LOG_ERROR("Query failed to retrieve objects. Error code = 0x%x",
                           kWbemInvalidQuery);
            return false;
        }
    }
    for (const std::wstring& property : schema->m_properties) {
        if (property == whereProperty ||
            std::find(selected.begin(), selected.end(), property) != selected.end()) {
            prepared.m_wanted.push_back(property);
        }
    }
    prepared.m_strWhereValue = std::move(parsed.m_strWhereValue);
    prepared.m_pSchema = schema;
    return true;
}

}  // namespace

WMIVariant WMIVariant::Null() {
    WMIVariant v;
    v.m_vt = WMI_VT_NULL;
    return v;
}

WMIVariant WMIVariant::String(std::wstring text) {
    WMIVariant v;
    v.m_vt = WMI_VT_BSTR;
    v.m_str = std::move(text);
    return v;
}

WMIVariant WMIVariant::Signed(uint16_t vt, int64_t value) {
    WMIVariant v;
    v.m_vt = vt;
    v.m_signed = value;
    return v;
}

WMIVariant WMIVariant::Unsigned(uint16_t vt, uint64_t value) {
    WMIVariant v;
    v.m_vt = vt;
    v.m_unsigned = value;
    return v;
}

WMIVariant WMIVariant::Real(uint16_t vt, double value) {
    WMIVariant v;
    v.m_vt = vt;
    v.m_real = value;
    return v;
}

WMIVariant WMIVariant::Bool(bool value) {
    return Signed(WMI_VT_BOOL, value ? -1 : 0);
}

WMIVariant WMIVariant::StringArray(std::vector<std::wstring> elements) {
    WMIVariant v;
    v.m_vt = WMI_VT_ARRAY | WMI_VT_BSTR;
    v.m_array = std::move(elements);
    return v;
}

WMIValue ConvertWMIVariant(const WMIVariant& variant, const std::wstring& propertyName) {
    WMIValue value;
    value.m_eType = VariantText(variant, value.m_strValue, value.m_lstValues);
    if (value.m_eType == eWMIValueNone) {
        VORN_LOG_ERROR("Unhandled variant type %hu for %s", variant.m_vt,
                       vorn::WideToUTF8(propertyName).c_str());
    }
    return value;
}

std::string GetDefaultSysRoot() {
    const char* root = getenv("VORN_SYSROOT");
    return (root != nullptr && root[0] != '\0') ? root : "/";
}

WMIInterface::WMIInterface(const std::string& sysRoot,
                           std::shared_ptr<vorn::IHostNameSource> hostNames) {
    struct stat info {};
    if (stat(sysRoot.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        VORN_LOG_ERRNO(CVORNLogger::kError, "Failed to open system root %s", sysRoot.c_str());
        return;
    }
    if (!hostNames) {
        hostNames = std::make_shared<vorn::CHostNameSourceLinux>();
    }
    m_pSvc = std::make_unique<vorn::CWMISystemSource>(sysRoot, std::move(hostNames));
    m_bInitialized = true;
}

WMIInterface::WMIInterface() = default;

WMIInterface::~WMIInterface() {
    Cleanup();
}

void WMIInterface::BeginCollection() {
    if (m_pSvc) {
        m_pSvc->BeginCollection();
    }
}

void WMIInterface::EndCollection() {
    if (m_pSvc) {
        m_pSvc->EndCollection();
    }
}

void WMIInterface::Cleanup() {
    m_pSvc.reset();
    m_bInitialized = false;
}

vorn::VORN_STATUS WMIInterface::RunWMIQuery(const std::wstring& query,
                                            std::list<std::wstring>& propertyNames,
                                            std::list<WMIRow>& rows) {
    if (!m_bInitialized || !m_pSvc) {
        VORN_LOG_ERROR("Failed to construct object ");
        return vorn::VORN_FAILED;
    }
    const WMIPreparedQuery* prepared = nullptr;
    if (!m_pPrepared) {
        m_pPrepared = std::make_unique<WMIPreparedQueries>();
    }
    for (const auto& entry : m_pPrepared->m_entries) {
        if (entry.first == query) {
            prepared = &entry.second;
            break;
        }
    }
    if (prepared == nullptr) {
        WMIPreparedQuery fresh;
        if (!PrepareQuery(query, fresh)) {
            return vorn::VORN_FAILED;
        }
        auto& entries = m_pPrepared->m_entries;
        if (entries.size() >= WMIPreparedQueries::kMaxEntries) {
            entries.erase(entries.begin());
        }
        entries.emplace_back(query, std::move(fresh));
        prepared = &entries.back().second;
    }
    const std::vector<std::wstring>& selected = prepared->m_selected;
    const std::wstring& whereProperty = prepared->m_strWhereProperty;

    for (const WMIObject& object : m_pSvc->Enumerate(*prepared->m_pSchema, prepared->m_wanted)) {
        if (!whereProperty.empty()) {
            const WMIVariant* value = object.Find(whereProperty);
            std::wstring text;
            std::list<std::wstring> elements;
            if (value == nullptr || value->m_vt == WMI_VT_NULL ||
                VariantText(*value, text, elements) == eWMIValueNone ||
                !EqualsIgnoreCase(text, prepared->m_strWhereValue)) {
                continue;
            }
        }
        if (propertyNames.empty()) {
            propertyNames.assign(selected.begin(), selected.end());
        }
        // Only selected properties can be read from a returned object; any
        // other listed name reads as an empty, unhandled value.
        WMIRow row;
        for (const std::wstring& name : propertyNames) {
            const bool readable =
                std::find(selected.begin(), selected.end(), name) != selected.end();
            const WMIVariant* value = readable ? object.Find(name) : nullptr;
            row.push_back(ConvertWMIVariant(value != nullptr ? *value : WMIVariant(), name));
        }
        rows.push_back(std::move(row));
    }
    return vorn::VORN_OK;
}
