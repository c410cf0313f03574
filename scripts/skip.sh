# Sourced by scripts/main.sh and scripts/test.sh. QX_SKIP="deps mipsel ..."
# names the steps to leave out while iterating locally; QX_SKIP_DEPS=1 is the
# older spelling of "deps".
if [ "${QX_SKIP_DEPS:-0}" = 1 ]; then QX_SKIP="${QX_SKIP:-} deps"; fi
skip() { case " ${QX_SKIP:-} " in *" $1 "*) return 0 ;; esac; return 1; }
