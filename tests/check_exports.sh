#!/usr/bin/env bash
# Checks the shared library's dynamic symbol table: what a job or a tool
# reaches must be there, internals must not be. Usage: check_exports.sh LIBRARY
#
# Extend the lists below; each entry is an extended regular expression.
#   PLAIN_NAMES  symbols that must be exported under exactly this raw name
#                (C linkage, no decoration)
#   REQUIRED     must match at least one demangled symbol (members adds a
#                class's members)
#   FORBIDDEN    must match no demangled symbol
set -euo pipefail

PLAIN_NAMES=(
  'ipm_sendMessage' 'ipm_sendMessageDirect' 'ipm_start' 'ipm_stop' 'ipm_killRequested' 'ipm_send' 'ipm_sendDirect'
  'ipm_countFormatValues' 'ipm_resultText' 'ipm_lastFailure'
)

REQUIRED=(
  '^ipm_initialize\(int&\)$' '^ipm_finalize\(int&\)$' '^thr_GlobalSingleton<ipm_MessageTransmit>::Instance\(\)$'
  '^vtable for ipm_MessageTask$' '^vtable for ipm_TransmissionMechanism$' '^typeinfo for ipm_TransmissionMechanism$'
  '^thr_Mutex::Lock\(\)$' '^thr_GlobalSingleton<utl_CommandLine>::Instance\(\)$' '^jcl_initialize\(int&\)$'
  '^jcl_finalize\(int&\)$' '^cow_1DArray<jcl_Node>::Get\(int\)$'
  '^cow_1DArrayList<jcl_Node>::Append\(jcl_Node const&\)$' '^typeinfo for jcl_Entity$' '^typeinfo for jcl_Stream$'
  '^csp_initialize\(int&\)$' '^csp_finalize\(int&\)$' '^cow_1DArray<csp_IpAddress>::Get\(int\)$'
  '^typeinfo for csp_NetworkException$' '^typeinfo for csp_TcpSocket$' '^csp_NetworkException::getKind\(\) const$'
  '^csp_throwNetworkError\(csp_NetworkErrorKind, cow_String const&\)$'
)
# Members of one class: members CLASS MEMBER...
members() { local class=$1; shift; for member; do REQUIRED+=("^$class::$member\$"); done; }
members ipm_MessageTransmit 'SetMechanism\(ipm_TransmissionMechanism\*\)' 'InitializeMechanism\(\)' \
  'Encode\(char const\*, char const\*, int\*, double\*, char\*\*, bool\) const' \
  'BufferMessage\(cow_String const&, cow_String const&\)' 'TransmitMessage\(cow_String const&\)' \
  'ClearMessageBuffer\(\)'
members ipm_MessageTask 'ipm_MessageTask\(\)' '~ipm_MessageTask\(\)'
members cow_String 'cow_String\(char const\*\)' '~cow_String\(\)'
members jcl_Node 'Serialize\(\) const' 'Traverse\(cow_1DArrayList<int> const&\)' 'Append\(jcl_Node const&\)' \
  'GetChild\(int\)' 'GetTagName\(\) const' 'InsertAttribute\(cow_String const&, cow_String const&\)'
members jcl_Message 'jcl_Message\(\)' 'jcl_Message\(jcl_Node const&\)' '~jcl_Message\(\)' \
  'SetSubject\(cow_String const&\)' 'SetBody\(cow_String const&\)' 'SetX\(cow_String const&\)'
members jcl_Presence 'jcl_Presence\(\)' 'jcl_Presence\(jcl_Node const&\)' '~jcl_Presence\(\)'
members jcl_Connection 'jcl_Connection\(\)' '~jcl_Connection\(\)' 'Connect\(cow_String const&, int\)' \
  'Authorize\(cow_String const&, cow_String const&, cow_String const&\)' \
  'Register\(cow_String const&, cow_String const&, cow_String const&\)' 'Send\(jcl_Entity const&\)' 'Receive\(int\)' \
  'Disconnect\(\)' 'Set(Message|Presence|IQ)Handler\(void \(\*\)\(jcl_Connection&, jcl_Entity&\)\)'
members jcl_Stream 'jcl_Stream\(cow_String const&, unsigned int, int, csp_TcpSocket\)' '~jcl_Stream\(\)' \
  'SetSocket\(csp_TcpSocket const&\)' 'Read\(\)' 'Process\(\)'
members csp_IpAddress 'csp_IpAddress\(cow_String const&\)' 'csp_IpAddress\(unsigned int\)' \
  'csp_IpAddress\(in_addr const&\)'
members csp_SocketAddress 'csp_SocketAddress\(int\)' 'csp_SocketAddress\(csp_IpAddress const&, int\)' \
  'csp_SocketAddress\(sockaddr_in const&\)' 'csp_SocketAddress\(csp_SocketAddress const&\)' '~csp_SocketAddress\(\)' \
  'isDefined\(\) const'
members csp_TcpSocket 'csp_TcpSocket\(csp_TcpSocket::TcpBinding\)' 'csp_TcpSocket\(int\)' \
  'csp_TcpSocket\(csp_SocketAddress const&\)' '~csp_TcpSocket\(\)' 'acceptConnection\(\) const' 'listen\(int\) const' \
  'setKeepAlives\(bool\)'
members csp_Socket '~csp_Socket\(\)' 'close\(\)' 'disconnect\(\)' 'getDescriptor\(\) const' 'setToAutoClose\(bool\)' \
  'shutdown\(\)' 'shutdown\(csp_Socket::csp_SocketShutdownMode\)' 'shutdownSocketReceives\(\)' \
  'shutdownSocketSends\(\)'
members csp_ConnectableSocket 'connectTo\(csp_SocketAddress const&\)' 'connectTo\(sockaddr\*, int\)' \
  'isConnected\(\) const' 'read\(void\*, int\)' 'write\(void const\*, int\)'

FORBIDDEN=(
  'ipm_MessageDocument' 'ipm_MessageTransmit::DestroyInstance' 'ipm_MessageTransmit::PollMechanism' 'omni_UseCount'
  '\(anonymous namespace\)' 'jcl_IQ' 'jcl_Entity::' 'csp_SocketLayer' 'csp_LocalHostCache'
  'csp_raiseSystemCallFailure' 'csp_Host' 'csp_Socket::(bind|reset|name|setOption|getOption)\('
  'csp_ConnectableSocket::(receiveFrom|peerAddress)\(' 'jcl_Connection::(StanzaBuilder|ParseStanza|Dispatch)'
  'jcl_Message::AppendXNode' 'jcl_Stream::(On[A-Z]|IsBuilt|FinishStanza)'
)

library=${1:?usage: check_exports.sh LIBRARY}
raw=$(nm -D --defined-only "$library" | awk '{print $3}')
demangled=$(c++filt <<<"$raw")
status=0

for name in "${PLAIN_NAMES[@]}"; do
  if ! grep -qxF -- "$name" <<<"$raw"; then
    echo "missing plain name: $name"
    status=1
  fi
done
for pattern in "${REQUIRED[@]}"; do
  if ! grep -qE -- "$pattern" <<<"$demangled"; then
    echo "missing: $pattern"
    status=1
  fi
done
for pattern in "${FORBIDDEN[@]}"; do
  if grep -E -- "$pattern" <<<"$demangled"; then
    echo "exported but internal: $pattern"
    status=1
  fi
done
exit $status
