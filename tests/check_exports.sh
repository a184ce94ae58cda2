#!/usr/bin/env bash
# Checks the shared library's dynamic symbol table: what a job or a tool
# reaches must be there, internals must not be. Usage: check_exports.sh LIBRARY
#
# Extend the lists below; each entry is an extended regular expression.
#   PLAIN_NAMES  symbols that must be exported under exactly this raw name
#                (C linkage, no decoration)
#   REQUIRED     must match at least one demangled symbol
#   FORBIDDEN    must match no demangled symbol
set -euo pipefail

PLAIN_NAMES=(
  'ipm_sendMessage'
  'ipm_sendMessageDirect'
  'ipm_start'
  'ipm_stop'
  'ipm_killRequested'
  'ipm_send'
  'ipm_sendDirect'
  'ipm_countFormatValues'
  'ipm_resultText'
  'ipm_lastFailure'
)

REQUIRED=(
  '^ipm_initialize\(int&\)$'
  '^ipm_finalize\(int&\)$'
  '^thr_GlobalSingleton<ipm_MessageTransmit>::Instance\(\)$'
  '^ipm_MessageTransmit::SetMechanism\(ipm_TransmissionMechanism\*\)$'
  '^ipm_MessageTransmit::InitializeMechanism\(\)$'
  '^ipm_MessageTransmit::Encode\(char const\*, char const\*, int\*, double\*, char\*\*, bool\) const$'
  '^ipm_MessageTransmit::BufferMessage\(cow_String const&, cow_String const&\)$'
  '^ipm_MessageTransmit::TransmitMessage\(cow_String const&\)$'
  '^ipm_MessageTransmit::ClearMessageBuffer\(\)$'
  '^ipm_MessageTask::ipm_MessageTask\(\)$'
  '^ipm_MessageTask::~ipm_MessageTask\(\)$'
  '^vtable for ipm_MessageTask$'
  '^vtable for ipm_TransmissionMechanism$'
  '^typeinfo for ipm_TransmissionMechanism$'
  '^cow_String::cow_String\(char const\*\)$'
  '^cow_String::~cow_String\(\)$'
  '^thr_Mutex::Lock\(\)$'
  '^thr_GlobalSingleton<utl_CommandLine>::Instance\(\)$'
  '^jcl_initialize\(int&\)$'
  '^jcl_finalize\(int&\)$'
  '^jcl_Node::Serialize\(\) const$'
  '^jcl_Node::Traverse\(cow_1DArrayList<int> const&\)$'
  '^jcl_Node::Append\(jcl_Node const&\)$'
  '^jcl_Node::GetChild\(int\)$'
  '^jcl_Node::GetTagName\(\) const$'
  '^jcl_Node::InsertAttribute\(cow_String const&, cow_String const&\)$'
  '^cow_1DArray<jcl_Node>::Get\(int\)$'
  '^cow_1DArrayList<jcl_Node>::Append\(jcl_Node const&\)$'
  '^jcl_Message::jcl_Message\(\)$'
  '^jcl_Message::jcl_Message\(jcl_Node const&\)$'
  '^jcl_Message::~jcl_Message\(\)$'
  '^jcl_Message::SetSubject\(cow_String const&\)$'
  '^jcl_Message::SetBody\(cow_String const&\)$'
  '^jcl_Message::SetX\(cow_String const&\)$'
  '^jcl_Presence::jcl_Presence\(\)$'
  '^jcl_Presence::jcl_Presence\(jcl_Node const&\)$'
  '^jcl_Presence::~jcl_Presence\(\)$'
  '^typeinfo for jcl_Entity$'
  '^jcl_Connection::jcl_Connection\(\)$'
  '^jcl_Connection::~jcl_Connection\(\)$'
  '^jcl_Connection::Connect\(cow_String const&, int\)$'
  '^jcl_Connection::Authorize\(cow_String const&, cow_String const&, cow_String const&\)$'
  '^jcl_Connection::Register\(cow_String const&, cow_String const&, cow_String const&\)$'
  '^jcl_Connection::Send\(jcl_Entity const&\)$'
  '^jcl_Connection::Receive\(int\)$'
  '^jcl_Connection::Disconnect\(\)$'
  '^jcl_Connection::Set(Message|Presence|IQ)Handler\(void \(\*\)\(jcl_Connection&, jcl_Entity&\)\)$'
  '^jcl_Stream::jcl_Stream\(cow_String const&, unsigned int, int, csp_TcpSocket\)$'
  '^jcl_Stream::~jcl_Stream\(\)$'
  '^jcl_Stream::SetSocket\(csp_TcpSocket const&\)$'
  '^jcl_Stream::Read\(\)$'
  '^jcl_Stream::Process\(\)$'
  '^typeinfo for jcl_Stream$'
  '^csp_initialize\(int&\)$'
  '^csp_finalize\(int&\)$'
  '^csp_IpAddress::csp_IpAddress\(cow_String const&\)$'
  '^csp_IpAddress::csp_IpAddress\(unsigned int\)$'
  '^csp_IpAddress::csp_IpAddress\(in_addr const&\)$'
  '^cow_1DArray<csp_IpAddress>::Get\(int\)$'
  '^csp_SocketAddress::csp_SocketAddress\(int\)$'
  '^csp_SocketAddress::csp_SocketAddress\(csp_IpAddress const&, int\)$'
  '^csp_SocketAddress::csp_SocketAddress\(sockaddr_in const&\)$'
  '^csp_SocketAddress::csp_SocketAddress\(csp_SocketAddress const&\)$'
  '^csp_SocketAddress::~csp_SocketAddress\(\)$'
  '^csp_SocketAddress::isDefined\(\) const$'
  '^csp_TcpSocket::csp_TcpSocket\(csp_TcpSocket::TcpBinding\)$'
  '^csp_TcpSocket::csp_TcpSocket\(int\)$'
  '^csp_TcpSocket::csp_TcpSocket\(csp_SocketAddress const&\)$'
  '^csp_TcpSocket::~csp_TcpSocket\(\)$'
  '^csp_TcpSocket::acceptConnection\(\) const$'
  '^csp_TcpSocket::listen\(int\) const$'
  '^csp_TcpSocket::setKeepAlives\(bool\)$'
  '^csp_Socket::~csp_Socket\(\)$'
  '^csp_Socket::close\(\)$'
  '^csp_Socket::disconnect\(\)$'
  '^csp_Socket::getDescriptor\(\) const$'
  '^csp_Socket::setToAutoClose\(bool\)$'
  '^csp_Socket::shutdown\(\)$'
  '^csp_Socket::shutdown\(csp_Socket::csp_SocketShutdownMode\)$'
  '^csp_Socket::shutdownSocketReceives\(\)$'
  '^csp_Socket::shutdownSocketSends\(\)$'
  '^csp_ConnectableSocket::connectTo\(csp_SocketAddress const&\)$'
  '^csp_ConnectableSocket::connectTo\(sockaddr\*, int\)$'
  '^csp_ConnectableSocket::isConnected\(\) const$'
  '^csp_ConnectableSocket::read\(void\*, int\)$'
  '^csp_ConnectableSocket::write\(void const\*, int\)$'
  '^typeinfo for csp_NetworkException$'
  '^typeinfo for csp_TcpSocket$'
  '^csp_NetworkException::getKind\(\) const$'
  '^csp_throwNetworkError\(csp_NetworkErrorKind, cow_String const&\)$'
)

FORBIDDEN=(
  'ipm_MessageDocument'
  'ipm_MessageTransmit::DestroyInstance'
  'ipm_MessageTransmit::PollMechanism'
  'omni_UseCount'
  '\(anonymous namespace\)'
  'jcl_IQ'
  'jcl_Entity::'
  'csp_SocketLayer'
  'csp_LocalHostCache'
  'csp_raiseSystemCallFailure'
  'csp_Host'
  'csp_Socket::(bind|reset|name|setOption|getOption)\('
  'csp_ConnectableSocket::(receiveFrom|peerAddress)\('
  'jcl_Connection::(StanzaBuilder|ParseStanza|Dispatch)'
  'jcl_Message::AppendXNode'
  'jcl_Stream::(On[A-Z]|IsBuilt|FinishStanza)'
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
