#!/bin/sh
# A sample exec hook for k417t-run's notifications (site file
# "notify": {"exec": {"command": "/usr/local/bin/k417t-notify.sh"}}).
#
# It runs without a shell around it, once per notice, with the notice in
# the environment (K417T_KIND, K417T_DEVICE, K417T_DEVICE_NAME,
# K417T_ALARM_ID, K417T_CODE, K417T_NAME, K417T_TEXT, K417T_NAME_EN,
# K417T_PLACE_EN, K417T_SEVERITY, K417T_STATE, K417T_TIME, K417T_WHO,
# K417T_COMMENT, K417T_JSON; K417T_COUNT for a digest) and a one-line
# message as $1, like upsmon's NOTIFYCMD. Its output goes to the service's
# log (a short excerpt, escaped); exit 0 when done. It is killed at the
# time-out (timeout_s), so anything slow belongs in the background or in a
# queue of its own.
set -u

msg=${1:-}

case "${K417T_KIND:-}" in
  raised|unknown)
    # Page only for the two highest classes; everything else goes by mail.
    case "${K417T_SEVERITY:-}" in
      critical|major) prio=crit ;;
      *) prio=warning ;;
    esac
    ;;
  digest) prio=warning ;;
  *) prio=notice ;;
esac

# To the system log; the tag lets rsyslog route it.
logger -t k417t-alarm -p "daemon.$prio" -- "$msg"

# By mail, when a mailer is installed (the address is the site's own).
if command -v mail >/dev/null 2>&1; then
  printf '%s\n\n%s\n' "$msg" "${K417T_JSON:-}" |
    mail -s "k417t ${K417T_KIND:-}: ${K417T_DEVICE_NAME:-} ${K417T_ALARM_ID:-}" noc@example.net
fi
exit 0
