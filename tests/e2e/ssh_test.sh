#!/usr/bin/env bash
# ssh_test.sh AGENT: the agent through a real sshd of its own (127.0.0.1, a free port, stopped by its pid) into
# a throwaway account. Needs root and sshd: skipped without them, but failed when BREVOK_SSH_REQUIRED=1.
set -euo pipefail
[ "$(id -u)" = 0 ] && [ -x /usr/sbin/sshd ] ||
  { echo "skipped: needs root and /usr/sbin/sshd"; [ "${BREVOK_SSH_REQUIRED:-}" != 1 ]; exit; }
umask 022
top=$(mktemp -d /tmp/brevok-ssh-XXXXXX) user=brevok$$
chmod 755 "$top"
cp "$1" "$top/brevok-file-agent"
for key in host user; do ssh-keygen -q -t ed25519 -N '' -f "$top/$key"; done
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '%s\n' "ListenAddress 127.0.0.1" "Port $port" "HostKey $top/host" "UsePAM no" "PidFile $top/pid" \
  "AllowUsers $user" "SetEnv PATH=$top:/usr/bin:/bin" >"$top/sshd_config"
printf '%s\n' "Host agent" "HostName 127.0.0.1" "Port $port" "User $user" "IdentityFile $top/user" "BatchMode yes" \
  "StrictHostKeyChecking no" "UserKnownHostsFile $top/known" "LogLevel ERROR" >"$top/ssh_config"
mkdir -p -m 755 /run/sshd  # privilege separation
useradd -d "$top/home" -s /bin/sh -p '*' -M -U "$user"  # '*', not the locking '!': sshd refuses locked accounts
/usr/sbin/sshd -D -e -f "$top/sshd_config" 2>"$top/log" & sshd=$!  # by its absolute path, as sshd demands
trap 'kill $sshd; wait $sshd || :; userdel $user; rm -rf "$top"' EXIT
install -D -m 644 "$top/user.pub" "$top/home/.ssh/authorized_keys"  # root's, which sshd's StrictModes accepts
chown "$user" "$top/home"
until (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do kill -0 $sshd; sleep 0.05; done
for request in '"write","path":"~/d/a","content":"one \"two\"\ntwo é\n","createDirs":true' \
               '"readPreview","path":"~/d/a","limit":1' \
               '"edit","path":"~/d/a","oldString":"two","newString":"2","replaceAll":true'; do
  echo "{\"protocol\":1,\"operation\":$request}" | ssh -F "$top/ssh_config" agent brevok-file-agent --stdio
done >"$top/answers" 2>"$top/errors"
diff "$top/answers" - <<'END'
{"protocol":1,"ok":true,"operation":"write","replacements":0,"bytes":17,"binary":false,"totalBytes":null,"data":null,"error":null}
{"protocol":1,"ok":true,"operation":"readPreview","replacements":0,"bytes":17,"binary":false,"totalBytes":17,"data":"b25lICJ0d28iCg==","error":null}
{"protocol":1,"ok":true,"operation":"edit","replacements":2,"bytes":13,"binary":false,"totalBytes":null,"data":null,"diff":{"changes":[{"line":1,"removed":"two","added":"2"},{"line":2,"removed":"two","added":"2"}],"truncated":false},"error":null}
END
diff /dev/null "$top/errors"
diff <(stat -c %U "$top/home/d/a"; cat "$top/home/d/a") <(echo "$user"; printf 'one "2"\n2 é\n')  # owner, content
# The example client, with the agent in the account's ~/bin, named with a ~ that the remote shell must expand.
install -D -m 755 "$1" "$top/home/bin/brevok-file-agent"
options=(); while read -r option; do options+=(--ssh-option "$option"); done < <(tail -n +2 "$top/ssh_config")
"$(dirname "$0")/../../examples/brevok-client.py" "${options[@]}" --ssh agent --agent '~/bin/brevok-file-agent' \
  read '~/d/a' --limit 1 | diff - <(printf '%s\n' 'ok (readPreview)' '8 of 13 bytes:' 'one "2"' 'exit status: 0')
