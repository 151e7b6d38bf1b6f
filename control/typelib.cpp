#include "typelib.h"

#include <tuple>

#include "ids.h"

namespace cvsrva {
namespace {

using ole::tlb::Member;
using ole::tlb::Param;

constexpr WORD kReadOnlyHidden = VARFLAG_FREADONLY | VARFLAG_FNONBROWSABLE;  // 0x401

Member Prop(const char* name, DISPID id, VARTYPE vt, WORD flags, const char* help, DWORD ctx,
            const char* typeName = "") {
  Member m;
  m.name = name;
  m.dispid = id;
  m.isVariable = true;
  m.flags = flags;
  m.result = vt;
  m.resultTypeName = typeName;
  m.helpString = help;
  m.helpContext = ctx;
  return m;
}

Member Func(const char* name, DISPID id, INVOKEKIND kind, VARTYPE result, std::vector<Param> params,
            const char* help, DWORD ctx) {
  Member m;
  m.name = name;
  m.dispid = id;
  m.invokeKind = kind;
  m.result = result;
  m.params = std::move(params);
  m.helpString = help;
  m.helpContext = ctx;
  return m;
}

}  // namespace

ole::tlb::Library MakeTypeLibrary() {
  ole::tlb::Library lib;
  lib.name = "CvSrvAdmLib";
  lib.libid = LIBID_CvSrvAdmLib;
  lib.major = kLibMajor;
  lib.minor = kLibMinor;
  lib.lcid = kLibLcid;
  lib.helpString = "Veltrane Server Administration Control";
  lib.helpFile = "cvsrva.chm";
  lib.helpContext = 11;

  ole::tlb::Interface admin;
  admin.name = "_DCvServerAdmin";
  admin.iid = DIID__DCvServerAdmin;
  admin.flags = TYPEFLAG_FHIDDEN | TYPEFLAG_FDISPATCHABLE;
  admin.helpString = "Dispatch interface for Veltrane Server Administration Control";
  admin.helpContext = 11;
  std::vector<Param> callParams{{"Name", VT_BSTR, false, ""}};
  for (int i = 1; i <= 10; ++i) callParams.push_back({"Param" + std::to_string(i), VT_VARIANT, true, ""});
  admin.members = {
      Prop("FullName", dispidFullName, VT_BSTR, 0, "Returs/sets  FullName of the server.", 6),
      Prop("CorvaneVersion", dispidCorvaneVersion, VT_BSTR, kReadOnlyHidden, "Returns the version of Corvane being run.", 12),
      Prop("Description", dispidDescription, VT_BSTR, kReadOnlyHidden, "Returns the description of the server", 2),
      Prop("DirectoryInstalled", dispidDirectoryInstalled, VT_BOOL, kReadOnlyHidden, "Returns TRUE if the server supports CDS.", 3),
      Prop("ShortName", dispidShortName, VT_BSTR, kReadOnlyHidden, "Returns relative distinguished name of the server.", 19),
      Prop("TotalConnections", dispidTotalConnections, VT_I2, kReadOnlyHidden, "Returns total connections available to this server.", 20),
      Prop("UsedConnections", dispidUsedConnections, VT_I2, kReadOnlyHidden, "Returns currently used connections to the server.", 22),
      Prop("Company", dispidCompany, VT_BSTR, kReadOnlyHidden, "Returns Company name.", 1),
      Prop("ActiveConnections", dispidActiveConnections, VT_DISPATCH, 0, "Returns Active connections to the server.", 23, "ICvConnections"),
      Func("ExecuteProfile", dispidExecuteProfile, INVOKE_FUNC, VT_BOOL, {{"QBTFileName", VT_BSTR, false, ""}},
           "Runs the given QBT file on the server.", 4),
      Func("LoadQRX", dispidLoadQRX, INVOKE_FUNC, VT_BOOL,
           {{"QRXName", VT_BSTR, false, ""}, {"Parameters", VT_BSTR, false, ""}}, "Loads a given QRX module on the server.", 7),
      Func("UnloadQRX", dispidUnloadQRX, INVOKE_FUNC, VT_BOOL, {{"QRXName", VT_BSTR, false, ""}},
           "Unloads a given QRX module from the server.", 21),
      Func("Call", dispidCall, INVOKE_FUNC, VT_VARIANT, callParams,
           "Executes the remote RFX function or remote Kelpscript script.", 8),
      Func("Parameters", dispidParameters, INVOKE_PROPERTYGET, VT_VARIANT, {{"PropertyName", VT_BSTR, false, ""}},
           "Returns/sets the server parameter.", 15),
      Func("Parameters", dispidParameters, INVOKE_PROPERTYPUT, VT_EMPTY,
           {{"PropertyName", VT_BSTR, false, ""}, {"rhs", VT_VARIANT, false, ""}}, "Returns/sets the server parameter.", 15),
      Func("AboutBox", DISPID_ABOUTBOX, INVOKE_FUNC, VT_EMPTY, {}, "", 0),
  };
  lib.interfaces.push_back(admin);

  ole::tlb::Interface events;
  events.name = "_DCvServerAdminEvents";
  events.iid = DIID__DCvServerAdminEvents;
  events.flags = TYPEFLAG_FDISPATCHABLE;
  events.helpString = "Event interface for Veltrane Server Administration Control";
  lib.interfaces.push_back(events);

  ole::tlb::CoClass cls;
  cls.name = "CvSrvAdm";
  cls.clsid = CLSID_CvSrvAdm;
  cls.flags = TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL;
  cls.helpString = "Veltrane Server Administration Control";
  cls.helpContext = 11;
  cls.interfaces = {{"_DCvServerAdmin", IMPLTYPEFLAG_FDEFAULT},
                    {"_DCvServerAdminEvents", IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE}};
  lib.coclasses.push_back(cls);

  // The connections collection and the connection objects. _NewEnum is served
  // by the collection but not declared here.
  ole::tlb::Interface connections;
  connections.name = "ICvConnections";
  connections.iid = IID_ICvConnections;
  connections.flags = TYPEFLAG_FDISPATCHABLE;
  connections.helpString = "Dispatch interface for CvConnections collection";
  connections.members = {
      Prop("Count", 1, VT_I4, 0, "Returns number of CvConnection objects in the collection", 0),
      Func("SendBroadCast", 2, INVOKE_FUNC, VT_EMPTY, {{"Message", VT_BSTR, false, ""}},
           "Sends broadcast message to all connections.", 0),
      Func("Refresh", 3, INVOKE_FUNC, VT_EMPTY, {}, "Refreshes CvConnections collection.", 0),
      Func("Remove", 4, INVOKE_FUNC, VT_EMPTY, {{"ConnectionNo", VT_I2, false, ""}},
           "Removes an object from the collection and clears the connection.", 0),
      Func("Item", 5, INVOKE_PROPERTYGET, VT_DISPATCH, {{"Index", VT_I4, false, ""}},
           "Returns CvConnection object at the specified index.", 0),
  };
  connections.members.back().resultTypeName = "ICvConnection";
  lib.interfaces.push_back(connections);

  ole::tlb::Interface connection;
  connection.name = "ICvConnection";
  connection.iid = IID_ICvConnection;
  connection.flags = TYPEFLAG_FDISPATCHABLE;
  connection.helpString = "Dispatch interface for CvConnection object";
  connection.members = {
      Prop("FullName", 1, VT_BSTR, 0, "Returns FullName of the connection.", 0),
      Prop("ShortName", 2, VT_BSTR, 0, "Returns ShortName of the connection.", 0),
      Prop("LoginTime", 3, VT_DATE, 0, "Returns LoginTime of the connection.", 0),
      Prop("NetworkAddress", 4, VT_BSTR, 0, "Returns NetworkAddress of the connection.", 0),
      Prop("ConnectionNumber", 5, VT_I2, 0, "Returns ConnectionNumber of the connection.", 0),
      Prop("ConnectionType", 6, VT_I2, 0, "Returns ConnectionType of the connection.", 0),
      Func("SendMessage", 7, INVOKE_FUNC, VT_EMPTY, {{"Message", VT_BSTR, false, ""}},
           "Sends broadcast message to specified connection.", 0),
  };
  lib.interfaces.push_back(connection);

  for (auto [name, clsid, doc, itf] :
       {std::tuple{"CvConnections", CLSID_CvConnections, "CvConnections collection", "ICvConnections"},
        std::tuple{"CvConnection", CLSID_CvConnection, "CvConnection object", "ICvConnection"}}) {
    ole::tlb::CoClass c;
    c.name = name;
    c.clsid = clsid;
    c.flags = TYPEFLAG_FCANCREATE;
    c.helpString = doc;
    c.interfaces = {{itf, IMPLTYPEFLAG_FDEFAULT}};
    lib.coclasses.push_back(c);
  }
  return lib;
}

}  // namespace cvsrva
