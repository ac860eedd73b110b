# Imported targets for every outside package, made once. Folders link deps::<name>.
find_package(Threads REQUIRED)
find_package(GTest REQUIRED)
find_package(PkgConfig REQUIRED)

function(tarnwick_pkg name module)
  pkg_check_modules(${name} REQUIRED IMPORTED_TARGET ${module})
  add_library(deps::${name} ALIAS PkgConfig::${name})
endfunction()

tarnwick_pkg(gnutls gnutls)
tarnwick_pkg(ldns ldns)
tarnwick_pkg(ngtcp2 libngtcp2)
tarnwick_pkg(ngtcp2_crypto libngtcp2_crypto_gnutls)
tarnwick_pkg(curl libcurl)
tarnwick_pkg(nfq libnetfilter_queue)
tarnwick_pkg(mnl libmnl)

find_package(Qt6 REQUIRED COMPONENTS Core Widgets Test)
