// A control under test: CCvServerAdminCtrl hosted by a control site, over the
// scripted client.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QByteArray>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/client/cverrors.h"
#include "corvane/client/fake/cvclient_fake.h"
#include "ctrl.h"
#include "ole/com.h"
#include "olectl/site.h"
#include "support/automation.h"

namespace cvtest {

// Serves the control by its CLSID without a registry entry.
void RegisterControlClass();

// What an automation client sees of one call.
struct Outcome {
  HRESULT hr = S_OK;
  CComVariant value;
  WORD code = 0;            // EXCEPINFO.wCode of a raised exception
  SCODE scode = 0;          // EXCEPINFO.scode
  std::string description;  // EXCEPINFO.bstrDescription
};

// Calls name on d (DISPATCH_* flags) as an automation client does.
Outcome CallOn(IDispatch* d, const char16_t* name, WORD flags, std::vector<CComVariant> args = {});

// The call raised an automation exception with this 16-bit code and text.
void ExpectRaised(const Outcome& o, WORD code, std::string_view description);
// The call raised an automation exception with this SCODE (and no code).
void ExpectRaisedScode(const Outcome& o, SCODE scode);

// A persisted control state as the framework writes it: version 1.3, the
// 28 x 28 pixel extent, no stock properties, then the FullName text.
QByteArray StateBytes(std::string_view fullName);

// The browse-form name the directory tests bind to.
inline constexpr char16_t kBrowseName[] = uR"(CDS:\\TREE\O\OU\SRV1)";

class ControlTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates the control on a new site that reports userMode, then forgets
  // the calls its construction made.
  void Create(bool userMode = true);
  cvsrva::CCvServerAdminCtrl& Ctrl();
  IDispatch* Dispatch() { return site_->Dispatch(); }
  ole::ctl::OleControlSite& Site() { return *site_; }
  void SetUserMode(bool userMode) { site_->SetUserMode(userMode); }

  Outcome Get(const char16_t* name, std::vector<CComVariant> args = {});
  Outcome Put(const char16_t* name, CComVariant value, std::vector<CComVariant> args = {});
  Outcome Invoke(const char16_t* name, std::vector<CComVariant> args = {});

  // The calls recorded since the last ClearCalls (or since Create).
  std::vector<std::string> Calls() const { return cvfake::Calls(); }
  void ClearCalls() { cvfake::ClearCalls(); }

  // Binds to \\SRV1 over a connection that is not directory-authenticated
  // (connection 1001 on a fresh script), then forgets the calls.
  void BindPlain();
  // Binds to kBrowseName through the directory (context 2001, connection
  // 1001 on a fresh script), then forgets the calls.
  void BindDirectory();

  std::unique_ptr<ole::ctl::OleControlSite> site_;
  long bstrs_ = 0;
};

}  // namespace cvtest
