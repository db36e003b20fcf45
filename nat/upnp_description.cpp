// SPDX-License-Identifier: MIT
#include "nat/upnp_description.h"

#include "base/file_log.h"
#include "nat/upnp_protocol.h"
#include "nat/upnp_xml.h"
#include "platform/socket.h"

namespace brelvane::upnp {
namespace {

constexpr const char* kGatewayTypes[] = {"urn:schemas-upnp-org:device:InternetGatewayDevice:1",
                                         "urn:schemas-upnp-org:device:InternetGatewayDevice:2"};
constexpr const char* kWanDeviceTypes[] = {"urn:schemas-upnp-org:device:WANDevice:1",
                                           "urn:schemas-upnp-org:device:WANDevice:2"};
constexpr const char* kWanConnectionTypes[] = {"urn:schemas-upnp-org:device:WANConnectionDevice:1",
                                               "urn:schemas-upnp-org:device:WANConnectionDevice:2"};
// Version 1 services first (either kind, in document order), then version 2.
constexpr const char* kServiceTypesV1[] = {"urn:schemas-upnp-org:service:WANIPConnection:1",
                                           "urn:schemas-upnp-org:service:WANPPPConnection:1"};
constexpr const char* kServiceTypesV2[] = {"urn:schemas-upnp-org:service:WANIPConnection:2"};

template <size_t N>
bool IsOneOf(const std::string& value, const char* const (&types)[N]) {
  for (const char* type : types) {
    if (value == type) return true;
  }
  return false;
}

// The child named `item` whose `type_tag` text equals the version 1 type, or
// else the version 2 type.
XmlElement FindTyped(const XmlElement& parent, const char* item, const char* type_tag,
                     const char* const (&types)[2]) {
  int count = parent.ChildCount(item);
  for (const char* type : types) {
    for (int i = 0; i < count; ++i) {
      XmlElement candidate = parent.Child(item, i);
      if (candidate.Child(type_tag).Text() == type) return candidate;
    }
  }
  return XmlElement();
}

template <size_t N>
XmlElement FindService(const XmlElement& list, const char* const (&types)[N]) {
  int count = list.ChildCount("service");
  for (int i = 0; i < count; ++i) {
    XmlElement service = list.Child("service", i);
    if (IsOneOf(service.Child("serviceType").Text(), types)) return service;
  }
  return XmlElement();
}

bool Refuse(std::string* error, const char* text) {
  *error = text;
  return false;
}

}  // namespace

bool ReadGatewayDescription(std::string_view answer, const std::string& description_url,
                            uint32_t gateway_ip, GatewayService* out, std::string* error) {
  XmlDocument doc;
  doc.Parse(answer, "root");
  XmlElement root = doc.root();
  if (root.empty()) {
    Log2("%s", doc.ErrorReport(description_url).c_str());
    return Refuse(
        error, "The device descripe XML file is not a valid XML file. Cann't find root element.");
  }

  std::string warning;
  out->base_url = root.Child("URLBase").Text(&warning);
  if (out->base_url.empty()) {
    size_t scheme = description_url.find("http://");
    size_t slash = scheme == std::string::npos ? scheme : description_url.find('/', scheme + 7);
    if (slash == std::string::npos) {
      return Refuse(error, "Fail to get base_URL from XMLNode \"URLBase\" or describe_url.");
    }
    out->base_url = description_url.substr(0, slash);
  }

  XmlElement gateway = FindTyped(root, "device", "deviceType", kGatewayTypes);
  if (gateway.empty()) {
    return Refuse(error,
                  "Fail to find device \"urn:schemas-upnp-org:device:InternetGatewayDevice:1 \"");
  }
  XmlElement list = gateway.Child("deviceList");
  if (list.empty()) {
    return Refuse(error,
                  " Fail to find deviceList of device "
                  "\"urn:schemas-upnp-org:device:InternetGatewayDevice:1 \"");
  }
  XmlElement wan = FindTyped(list, "device", "deviceType", kWanDeviceTypes);
  if (wan.empty()) {
    return Refuse(error, "Fail to find device \"urn:schemas-upnp-org:device:WANDevice:1 \"");
  }
  list = wan.Child("deviceList");
  if (list.empty()) {
    return Refuse(
        error, " Fail to find deviceList of device \"urn:schemas-upnp-org:device:WANDevice:1 \"");
  }
  XmlElement connection = FindTyped(list, "device", "deviceType", kWanConnectionTypes);
  if (connection.empty()) {
    return Refuse(error,
                  "Fail to find device \"urn:schemas-upnp-org:device:WANConnectionDevice:1\"");
  }
  list = connection.Child("serviceList");
  if (list.empty()) {
    return Refuse(
        error, " Fail to find serviceList of device \"urn:schemas-upnp-org:device:WANDevice:1 \"");
  }
  XmlElement service = FindService(list, kServiceTypesV1);
  if (service.empty()) service = FindService(list, kServiceTypesV2);
  if (service.empty()) {
    return Refuse(error, "can't find  \" SERVICE_WANIP \" or \" SERVICE_WANPPP \" service.");
  }

  out->service_type = service.Child("serviceType").Text();
  std::string control = service.Child("controlURL").Text(warning.empty() ? &warning : nullptr);
  out->control_url = IsAbsoluteUrl(control) ? control : JoinUrl(out->base_url, control);
  if (!warning.empty())
    Log2("UPnPNAT description %s: %s", description_url.c_str(), warning.c_str());

  Url split;
  uint32_t ip = 0;
  if (!SplitUrl(out->control_url, &split) || !platform::ParseIpv4(split.host, &ip) ||
      ip != gateway_ip) {
    *error = "The control URL \"" + out->control_url + "\" is not on the gateway " +
             platform::InetAddress{gateway_ip, 0}.IpText() + ".";
    return false;
  }
  return true;
}

}  // namespace brelvane::upnp
