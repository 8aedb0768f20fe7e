#!/usr/bin/env bash
# The shared objects export their interface and nothing else.
set -euo pipefail
proxyhelper=$1
quillon=$2
status=0

exports() { nm -DC --defined-only "$1" | awk '{ $1=""; $2=""; sub(/^  /, ""); print }'; }

ph=$(exports "$proxyhelper")
for wanted in 'ProxyHelper::Instance()' 'ProxyHelper::SignIn(UserIdentity const&, VPErrorInfo&)' \
              'ProxyHelper::GetVpnServers(' 'ProxyHelper::_instance' 'ProxyHelperControl::CancelAll()' \
              'ProxyHelperControl::RawExchange('; do
  grep -qF "$wanted" <<<"$ph" || { echo "missing export in libproxyhelper: $wanted"; status=1; }
done
leaked=$(grep -vE '^(ProxyHelper::|ProxyHelperControl::|PROXYHELPER_1)' <<<"$ph" || true)
if [ -n "$leaked" ]; then echo "libproxyhelper exports internals:"; echo "$leaked" | head -20; status=1; fi

q=$(exports "$quillon")
for wanted in 'GlobalCache::Instance()' 'CLoginServers::Parse(' 'QUILLON::URLEncode(' 'CProfileFile::Load(' \
              'CMemBZ2Decompress::Decompress()'; do
  grep -qF "$wanted" <<<"$q" || { echo "missing export in libquillon: $wanted"; status=1; }
done
leaked=$(grep -vE '^(CClientCfg|GlobalCache|CMultiLanguage|CLoginServers|QUILLON|ProfileItem|ProfileSection|CProfileFile|ServerInfo|ServerOnlineRatio|CMemBZ2Decompress)::|^typeinfo for CClientCfg|^QUILLON_1' <<<"$q" || true)
if [ -n "$leaked" ]; then echo "libquillon exports more than its interface:"; echo "$leaked" | head -20; status=1; fi

[ $status -eq 0 ] && echo "exports: interface only"
exit $status
