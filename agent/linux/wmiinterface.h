// The attribute collector's query interface: WQL statements in, rows of text
// values out. On Linux the classes the collector asks for are answered from
// sysfs, procfs and /etc files under a system root (see wmiproviders.h), so a
// fixture directory can stand for a whole machine.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/vornstatus.h"

namespace vorn {
class IHostNameSource;
class CWMISystemSource;
}  // namespace vorn
struct WMIPreparedQueries;

enum eWMIValueType : int32_t {
    eWMIValueNone = 0,
    eWMIValueString = 1,
    eWMIValueBool = 2,
    eWMIValueInteger = 3,
    eWMIValueReal = 4,
    eWMIValueStringArray = 5,
};

// One property value of one row.
struct WMIValue {
    std::wstring m_strValue;              // the value as text; empty for arrays and unhandled kinds
    std::list<std::wstring> m_lstValues;  // elements of an array value, in index order
    eWMIValueType m_eType = eWMIValueNone;
};

using WMIRow = std::list<WMIValue>;

// Variant type numbers, as the query contract names them.
enum WMIVariantType : uint16_t {
    WMI_VT_EMPTY = 0,
    WMI_VT_NULL = 1,
    WMI_VT_I2 = 2,
    WMI_VT_I4 = 3,
    WMI_VT_R4 = 4,
    WMI_VT_R8 = 5,
    WMI_VT_BSTR = 8,
    WMI_VT_BOOL = 11,
    WMI_VT_I1 = 16,
    WMI_VT_UI1 = 17,
    WMI_VT_UI2 = 18,
    WMI_VT_UI4 = 19,
    WMI_VT_I8 = 20,
    WMI_VT_UI8 = 21,
    WMI_VT_INT = 22,
    WMI_VT_UINT = 23,
    WMI_VT_ARRAY = 0x2000,
};

// A typed property value as a class provider produces it. Only the member that
// matches m_vt is meaningful; the conversion to text is ConvertWMIVariant.
struct WMIVariant {
    uint16_t m_vt = WMI_VT_EMPTY;
    std::wstring m_str;                 // VT_BSTR
    std::vector<std::wstring> m_array;  // VT_ARRAY | VT_BSTR
    int64_t m_signed = 0;               // VT_I1, VT_I2, VT_I4, VT_INT, VT_I8, VT_BOOL
    uint64_t m_unsigned = 0;            // VT_UI1, VT_UI2, VT_UI4, VT_UINT, VT_UI8
    double m_real = 0.0;                // VT_R4, VT_R8

    static WMIVariant Null();
    static WMIVariant String(std::wstring text);
    static WMIVariant Signed(uint16_t vt, int64_t value);
    static WMIVariant Unsigned(uint16_t vt, uint64_t value);
    static WMIVariant Real(uint16_t vt, double value);
    static WMIVariant Bool(bool value);
    static WMIVariant StringArray(std::vector<std::wstring> elements);
};

// Converts one variant to its row value: NULL and strings as text, booleans as
// "1"/"0", integers in decimal, reals with "%f", string arrays element by
// element. Any other type becomes an empty eWMIValueNone value and is logged
// with its type number and 'propertyName'.
WMIValue ConvertWMIVariant(const WMIVariant& variant, const std::wstring& propertyName);

// One object a class provider returns: property names in the class's own
// order, each with its value.
struct WMIObject {
    std::vector<std::pair<std::wstring, WMIVariant>> m_properties;
    // The named property (exact name), or nullptr.
    const WMIVariant* Find(const std::wstring& name) const;
};

class WMIInterface {
public:
    // Connects to the system under 'sysRoot' (a directory; "/" for the running
    // machine), reading host names through 'hostNames'. Never throws for a
    // missing system: a root that is not a directory is logged and leaves an
    // instance whose every query fails.
    WMIInterface(const std::string& sysRoot, std::shared_ptr<vorn::IHostNameSource> hostNames);
    virtual ~WMIInterface();
    WMIInterface(const WMIInterface&) = delete;
    WMIInterface& operator=(const WMIInterface&) = delete;

    // Runs "SELECT <properties|*> FROM <class> [WHERE <property>='<value>']".
    //   propertyNames: when empty on entry, filled with the selected property
    //     names in the order the class reports them (from the first returned
    //     object); when non-empty, exactly those names are read from every object.
    //   rows: one row appended per object (not emptied first); each row holds one
    //     value per name of propertyNames, in that order.
    // Returns VORN_OK (also with no rows: the class's source is absent on this
    // machine) or VORN_FAILED: not connected ("Failed to construct object "), or
    // a statement that is not understood, names an unknown class or property
    // ("Query failed to retrieve objects. Error code = 0x%x" with a WBEM code).
    // One query at a time.
    virtual vorn::VORN_STATUS RunWMIQuery(const std::wstring& query,
                                          std::list<std::wstring>& propertyNames,
                                          std::list<WMIRow>& rows);

    // Brackets the queries of one collection: between the two, a source
    // several queries share is read once (wmiproviders.h). The next
    // collection reads everything again.
    virtual void BeginCollection();
    virtual void EndCollection();

    // Releases the connection; every later query fails.
    void Cleanup();

protected:
    // For test doubles that answer RunWMIQuery themselves.
    WMIInterface();

private:
    bool m_bInitialized = false;
    std::unique_ptr<vorn::CWMISystemSource> m_pSvc;
    std::unique_ptr<WMIPreparedQueries> m_pPrepared;  // statements already read
};

// The system root named by VORN_SYSROOT, "/" when unset or empty.
std::string GetDefaultSysRoot();
