// The "result" codes of the reference account service. 0 is success; every
// refusal carries one of these together with a readable "errdesc".
#pragma once

namespace devserver {

enum ResultCode : int {
  kResultOk = 0,
  kResultBadRequest = 1,        // a required field is missing or malformed
  kResultBadCredentials = 2,    // unknown user or wrong password
  kResultBadSession = 3,        // "username"/"magic" do not name a live session
  kResultDuplicateAccount = 4,  // register.php: the user name is taken
  kResultBadCard = 5,           // recharge.php: unknown, wrong or used card
  kResultUnknownServer = 6,     // no VPN server with that id
  kResultNoCredentials = 7,     // the dial-up pool for that server is empty
  kResultBadLease = 8,          // "dailsession" does not match a lease
  kResultNoCipherKeys = 9,      // keyed request under the empty-text key
};

}  // namespace devserver
