#!/usr/bin/env bash
# Checks the shared library's dynamic symbol table: what a job or a tool
# reaches must be there, internals must not be. Usage: check_exports.sh LIBRARY
# PLAIN_NAMES are exported under exactly this raw name (C linkage); REQUIRED
# and FORBIDDEN are extended regular expressions over the demangled symbols.
set -euo pipefail

PLAIN_NAMES=(ipm_sendMessage ipm_sendMessageDirect ipm_start ipm_stop ipm_killRequested ipm_send ipm_sendDirect
  ipm_countFormatValues ipm_resultText ipm_lastFailure ipm_offerRequests ipm_takeRequest ipm_answerRequest)
# One member or more of each exported class and module.
REQUIRED=('^(ipm|jcl|csp)_(initialize|finalize)\(int&\)$' '^thr_GlobalSingleton<ipm_MessageTransmit>::Instance\(\)$'
  '^ipm_MessageTransmit::Encode\(char const\*, char const\*, int\*, double\*, char\*\*, bool\) const$'
  '^ipm_MessageTask::ipm_MessageTask\(\)$' '^typeinfo for ipm_TransmissionMechanism$' '^cow_String::cow_String\(cow_String const&\)$'
  '^thr_GlobalSingleton<utl_CommandLine>::Instance\(\)$' '^cow_1DArray<jcl_Node>::Get\(int\)$'
  '^jcl_Node::Traverse\(cow_1DArrayList<int> const&\)$' '^jcl_Message::SetX\(cow_String const&\)$'
  '^jcl_Presence::jcl_Presence\(jcl_Node const&\)$' '^jcl_Connection::Receive\(int\)$' '^jcl_Stream::Process\(\)$'
  '^csp_IpAddress::csp_IpAddress\(cow_String const&\)$' '^csp_SocketAddress::isDefined\(\) const$'
  '^csp_TcpAcceptor::acceptConnection\(csp_SocketAddress&, ' '^csp_Socket::disconnect\(\)$' '^typeinfo for csp_NetworkException$'
  '^csp_ConnectableSocket::write\(void const\*, int\)$')
FORBIDDEN=('ipm_MessageDocument' 'ipm_RequestDesk' 'ipm_RequestLines' 'ipm_MessageTransmit::DestroyInstance' 'omni_UseCount' '\(anonymous namespace\)' 'jcl_IQ'
  'csp_SocketLayer' 'csp_LocalHostCache' 'csp_Host' 'csp_Socket::(bind|reset|setOption|getOption)\('
  'jcl_Stream::(On[A-Z]|IsBuilt|FinishStanza)')

library=${1:?usage: check_exports.sh LIBRARY}
raw=$(nm -D --defined-only "$library" | awk '{print $3}')
demangled=$(c++filt <<<"$raw")
status=0
for name in "${PLAIN_NAMES[@]}"; do
  grep -qxF -- "$name" <<<"$raw" || { echo "missing plain name: $name"; status=1; }
done
for pattern in "${REQUIRED[@]}"; do
  grep -qE -- "$pattern" <<<"$demangled" || { echo "missing: $pattern"; status=1; }
done
for pattern in "${FORBIDDEN[@]}"; do
  if grep -E -- "$pattern" <<<"$demangled"; then echo "exported but internal: $pattern"; status=1; fi
done
exit $status
