// The request document compared as exact text, and the two answer layouts.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "agent/cloudformatconverter.h"
#include "tests/support/testsupport.h"

namespace vorn {
namespace {

using test::LogMark;
using test::LogSince;

CAttribute Str(const std::string& tag, const std::string& value) {
    return CAttribute(tag, eAttributeTypeString, value);
}

std::shared_ptr<std::list<CAttribute>> Children(std::list<CAttribute> children) {
    return std::make_shared<std::list<CAttribute>>(std::move(children));
}

IdentityServiceRequest MinimalRequest() {
    IdentityServiceRequest request;
    request.m_strBID = "bid";
    request.m_strBToken = "key";
    request.m_lstAttributes = {Str("serial_number", "SN"), Str("uuid", "U"),
                               Str("hostname", "host")};
    return request;
}

const char* const kMinimalDocument =
    R"({"business":{"id":"bid","installer_key":"key"},"hardware":{"serial_number":"SN","uuid":"U"},)"
    R"("os":{"hostname":"host"},"misc":{"product":{}}})";

std::string Serialize(const IdentityServiceRequest& request) {
    std::string out = "untouched";
    const VORN_STATUS status = CloudFormatConverter::SerializeRequestData(request, out);
    return status == VORN_OK ? out : "status " + std::to_string(status) + " " + out;
}

TEST(CloudFormatConverterRequest, MinimalRequestHasFourSectionsInOrder) {
    EXPECT_EQ(Serialize(MinimalRequest()), kMinimalDocument);
}

TEST(CloudFormatConverterRequest, FullDocumentPlacesEveryTypeAndSection) {
    IdentityServiceRequest request = MinimalRequest();
    request.m_strVorn = "V1";
    request.m_strToken = "T1";
    request.m_strInstanceKey = "IK";
    request.m_lstAttributes = {
        CAttribute("marovellin", eAttributeTypeObject, Children({Str("udid", "D")})),
        CAttribute("is_virtual", eAttributeTypeBool, "True"),
        Str("serial_number", "SN"),
        CAttribute("disk_list", eAttributeTypeStringArray, std::list<std::string>{"d1", "d2"}),
        CAttribute("adapters", eAttributeTypeArray,
                   Children({CAttribute("", eAttributeTypeObject,
                                        Children({Str("name", "eth0"),
                                                  CAttribute("active", eAttributeTypeBool, "true"),
                                                  CAttribute("ipv4", eAttributeTypeStringArray,
                                                             std::list<std::string>{"10.0.0.1"})})),
                             Str("ignored-name", "plain")})),
        Str("hostname", "host"),
        CAttribute("oxa", eAttributeTypeObject, Children({})),
        Str("uuid", "U"),
        CAttribute("kernel", eAttributeTypeBool, "1"),
        CAttribute("build", eAttributeTypeNull, "x"),
    };
    const size_t mark = LogMark();
    EXPECT_EQ(Serialize(request),
              R"({"business":{"id":"bid","installer_key":"key"},)"
              R"("hardware":{"serial_number":"SN","disk_list":["d1","d2"],"uuid":"U"},)"
              R"("os":{"adapters":[{"name":"eth0","active":true,"ipv4":["10.0.0.1"]},"plain"],)"
              R"("hostname":"host","kernel":false},)"
              R"("misc":{"product":{"marovellin":{"udid":"D"},"oxa":{}},"is_virtual":false,)"
              R"("cache":{"vorn":"V1","vorn_token":"T1","instance_key":"IK"}}})");
    EXPECT_NE(LogSince(mark).find("Default Attribute Type null encountered."), std::string::npos);
}

TEST(CloudFormatConverterRequest, CacheNeedsBothVornAndToken) {
    struct Case {
        const char* vorn;
        const char* token;
        const char* instanceKey;
        const char* misc;
    } cases[] = {
        {"V", "", "IK", R"({"product":{}})"},
        {"", "T", "IK", R"({"product":{}})"},
        {"V", "T", "", R"({"product":{},"cache":{"vorn":"V","vorn_token":"T"}})"},
    };
    for (const Case& c : cases) {
        IdentityServiceRequest request = MinimalRequest();
        request.m_strVorn = c.vorn;
        request.m_strToken = c.token;
        request.m_strInstanceKey = c.instanceKey;
        const std::string text = Serialize(request);
        const std::string misc = text.substr(text.find(R"("misc":)") + 7);
        EXPECT_EQ(misc, std::string(c.misc) + "}") << c.vorn << "/" << c.token;
    }
}

TEST(CloudFormatConverterRequest, UnknownTagAndUnwritableAttributesAreLeftOut) {
    IdentityServiceRequest request = MinimalRequest();
    request.m_lstAttributes.push_front(Str("no_such_tag", "x"));
    request.m_lstAttributes.push_back(
        CAttribute("oxa", eAttributeTypeObject, std::shared_ptr<std::list<CAttribute>>()));
    request.m_lstAttributes.push_back(
        CAttribute("domainname", eAttributeTypeString, std::list<std::string>{}));
    const size_t mark = LogMark();
    EXPECT_EQ(Serialize(request), kMinimalDocument);
    const std::string log = LogSince(mark);
    EXPECT_NE(log.find("Unknown Attribute Tag encountered."), std::string::npos);
    EXPECT_EQ(log.find("Unknown Attribute Tag encountered."),
              log.rfind("Unknown Attribute Tag encountered."));
}

TEST(CloudFormatConverterRequest, MissingMandatoryDataFailsWithItsMessage) {
    struct Case {
        const char* name;
        std::function<void(IdentityServiceRequest&)> change;
        const char* message;
    } cases[] = {
        {"no business id", [](IdentityServiceRequest& r) { r.m_strBID.clear(); },
         "Mandatory Business data missing."},
        {"no installer key", [](IdentityServiceRequest& r) { r.m_strBToken.clear(); },
         "Mandatory Business data missing."},
        {"empty serial",
         [](IdentityServiceRequest& r) {
             r.m_lstAttributes.front() =
                 CAttribute("serial_number", eAttributeTypeString, std::list<std::string>{});
         },
         "Mandatory Hardware data missing."},
        {"no uuid",
         [](IdentityServiceRequest& r) {
             r.m_lstAttributes.erase(std::next(r.m_lstAttributes.begin()));
         },
         "Mandatory Hardware data missing."},
        {"no hostname", [](IdentityServiceRequest& r) { r.m_lstAttributes.pop_back(); },
         "Required OS data missing."},
    };
    for (const Case& c : cases) {
        IdentityServiceRequest request = MinimalRequest();
        c.change(request);
        std::string out = "untouched";
        const size_t mark = LogMark();
        EXPECT_EQ(CloudFormatConverter::SerializeRequestData(request, out), VORN_ERROR) << c.name;
        EXPECT_EQ(out, "untouched") << c.name;
        EXPECT_NE(LogSince(mark).find(c.message), std::string::npos) << c.name;
    }
}

TEST(CloudFormatConverterRequest, StringsAreEscapedByTheLibrary) {
    IdentityServiceRequest request = MinimalRequest();
    request.m_lstAttributes.back() = Str("hostname", "a\"b\\c\n\xc3\xa9");
    EXPECT_NE(Serialize(request).find(R"("hostname":"a\"b\\c\n)"
                                      "\xc3\xa9\"}"),
              std::string::npos);
}

struct AnswerCase {
    const char* name;
    VORN_STATUS layout;
    const char* text;
    VORN_STATUS result;
    const char* vorn;
    const char* token;
    const char* instanceKey;
    int32_t code;
    const char* msg;
};

TEST(CloudFormatConverterAnswer, TableOfAnswers) {
    const VORN_STATUS E = VORN_CLOUD_ERROR_RESPONSE;
    const AnswerCase cases[] = {
        {"success", VORN_OK, R"({"vorn":"V","vorn_token":"T","instance_key":"K"})", VORN_OK, "V",
         "T", "K", -1, "-"},
        {"capital names, first match wins", VORN_OK,
         R"({"VORN":"V","Vorn":"W","VORN_TOKEN":"T","x":1})", VORN_OK, "V", "T", "", -1, "-"},
        {"no instance key", VORN_OK, R"({"vorn":"V","vorn_token":"T"})", VORN_OK, "V", "T", "", -1,
         "-"},
        {"empty vorn", VORN_OK, R"({"vorn":"","vorn_token":"T"})", VORN_ERROR, "", "T", "", -1,
         "-"},
        {"no token keeps vorn", VORN_OK, R"({"vorn":"V"})", VORN_ERROR, "V", "", "", -1, "-"},
        {"empty object", VORN_OK, "{}", VORN_ERROR, "", "", "", -1, "-"},
        {"vorn not a string", VORN_OK, R"({"vorn":5,"vorn_token":"T"})", VORN_ERROR, "", "", "", -1,
         "-"},
        {"instance key not a string", VORN_OK, R"({"vorn":"V","vorn_token":"T","instance_key":{}})",
         VORN_OK, "V", "T", "", -1, "-"},
        {"root is an array", VORN_OK, R"([{"vorn":"V"}])", VORN_ERROR, "", "", "", -1, "-"},
        {"root is a string", E, R"("code")", VORN_ERROR, "", "", "", -1, "-"},
        {"not JSON", VORN_OK, "<html>", VORN_ERROR, "", "", "", -1, "-"},
        {"error answer", E, R"({"Code":42.9,"MSG":"bad"})", VORN_OK, "", "", "", 42, "bad"},
        {"negative code truncates toward zero", E, R"({"code":-7.9,"msg":"m"})", VORN_OK, "", "",
         "", -7, "m"},
        {"code zero", E, R"({"code":0,"msg":"m"})", VORN_ERROR, "", "", "", 0, "m"},
        {"empty msg", E, R"({"code":3,"msg":""})", VORN_ERROR, "", "", "", 3, ""},
        {"code as string", E, R"({"code":"3","msg":"m"})", VORN_ERROR, "", "", "", -1, "-"},
        {"code beyond 32 bits", E, R"({"code":4294967296,"msg":"m"})", VORN_ERROR, "", "", "", -1,
         "-"},
        {"code infinite", E, R"({"code":1e999,"msg":"m"})", VORN_ERROR, "", "", "", -1, "-"},
        {"msg not a string", E, R"({"code":3,"msg":null})", VORN_ERROR, "", "", "", 3, "-"},
    };
    for (const AnswerCase& c : cases) {
        IdentityServiceResponse response;
        response.m_status = c.layout;
        response.m_nErrorCode = -1;
        response.m_strErrorMsg = "-";
        EXPECT_EQ(CloudFormatConverter::DeserializeResponseData(c.text, response), c.result)
            << c.name;
        EXPECT_EQ(response.m_status, c.layout) << c.name;
        EXPECT_EQ(response.m_strVorn, c.vorn) << c.name;
        EXPECT_EQ(response.m_strToken, c.token) << c.name;
        EXPECT_EQ(response.m_strInstanceKey, c.instanceKey) << c.name;
        EXPECT_EQ(response.m_nErrorCode, c.code) << c.name;
        EXPECT_EQ(response.m_strErrorMsg, c.msg) << c.name;
    }
}

TEST(CloudFormatConverterAnswer, LogsNameTheFailedStep) {
    IdentityServiceResponse response;
    response.m_status = VORN_CLOUD_ERROR_RESPONSE;
    size_t mark = LogMark();
    EXPECT_EQ(CloudFormatConverter::DeserializeResponseData("nope", response), VORN_ERROR);
    EXPECT_NE(LogSince(mark).find("Couldn't parse json : nope"), std::string::npos);

    // A broken success answer may still hold the token and the instance key.
    response.m_status = VORN_OK;
    mark = LogMark();
    EXPECT_EQ(CloudFormatConverter::DeserializeResponseData(
                  R"({"vorn":"V","vorn_token":"T0KEN","instance_key":"IKEY")", response),
              VORN_ERROR);
    const std::string broken = LogSince(mark);
    EXPECT_NE(broken.find("Couldn't parse json : 54 bytes, error at byte 53"), std::string::npos)
        << broken;
    EXPECT_EQ(broken.find("T0KEN"), std::string::npos);
    EXPECT_EQ(broken.find("IKEY"), std::string::npos);

    response.m_status = VORN_CLOUD_RATE_LIMITED;
    mark = LogMark();
    EXPECT_EQ(CloudFormatConverter::DeserializeResponseData(R"({"msg":"m"})", response),
              VORN_ERROR);
    const std::string log = LogSince(mark);
    EXPECT_NE(log.find(R"(Error response: {"msg":"m"})"), std::string::npos);
    EXPECT_NE(log.find("Failed in condition: (NULL == pErrorCode)"), std::string::npos);
}

}  // namespace
}  // namespace vorn
