// A control under test: CCvServerAdminCtrl hosted by a control site, over the
// scripted client.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
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

class ControlTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates the control (the fake's calls are recorded from a reset).
  // userMode: what the site reports.
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

  std::unique_ptr<ole::ctl::OleControlSite> site_;
  long bstrs_ = 0;
};

}  // namespace cvtest
