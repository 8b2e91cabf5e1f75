# Compiles one include at a time against a layer's quoted-include directory, as the layer's own
# sources are compiled: each row's allowed header must compile and its forbidden one must be a
# missing file, so a layer that could see a folder it does not link fails here.
#   cmake -DCXX=<compiler> -DLAYERS=<build>/layers -DSCRATCH=<dir> -P fence.cmake
# Rows: layer, a header it links, a header of a layer it may not see.
set(ROWS
  "base    base/log.h        core/event.h"
  "conf    conf/kv.h         net/sock.h"
  "digest  digest/sys_md5.h  proto/packet.h"
  "seal    base/log.h        proto/packet.h"
  "core    core/event.h      net/sock.h"
  "net     net/tun.h         client/record.h"
  "proto   digest/sys_md5.h  net/ip4.h"
  "client  net/route.h       daemon/cfg.h"
  "client  seal/noise.h      peer/peer.h"
  "daemon  client/session.h  ctl/ctl.h"
  "peer    proto/open.h      client/auth.h"
  "peer    net/vnet.h        digest/sys_md5.h"
  "peer    seal/noise.h      daemon/cfg.h"
  "ctl     daemon/resolvconf.h peer/peer.h"
  "ctl     seal/keyfile.h    peer/peer.h"
)
file(MAKE_DIRECTORY ${SCRATCH})
set(bad "")
foreach(row ${ROWS})
  string(REGEX REPLACE " +" ";" row "${row}")
  list(GET row 0 layer)
  list(GET row 1 ok)
  list(GET row 2 no)
  foreach(inc ${ok} ${no})
    file(WRITE ${SCRATCH}/planted.cpp "#include \"${inc}\"\n")
    execute_process(COMMAND ${CXX} -std=c++20 -fsyntax-only -iquote ${LAYERS}/${layer} planted.cpp
      WORKING_DIRECTORY ${SCRATCH} RESULT_VARIABLE rc ERROR_VARIABLE err)
    if(inc STREQUAL ok AND NOT rc EQUAL 0)
      string(APPEND bad "${layer}/ cannot include ${inc}, which it links:\n${err}\n")
    elseif(inc STREQUAL no AND NOT err MATCHES "${inc}: No such file")
      string(APPEND bad "${layer}/ includes ${inc}, which it may not see (rc ${rc})\n${err}\n")
    endif()
  endforeach()
endforeach()
if(bad)
  message(FATAL_ERROR "${bad}")
endif()
