# The public keys the installer trusts, chosen when it is configured.
#
# Each variable takes the key as 64 hex digits or the path of a ".pub" file
# that "pkgtool keygen" writes ("KIND HEX", or the bare hex digits); the
# older scheme's key may also be "none", which switches that scheme off. The
# defaults are the development pair whose private halves are published with
# the tests: a build that trusts either says so, and a build that sets one
# key of its own while the other stays the development one is refused, since
# it would still install whatever the published key signs.

set(INSTALLER_DEV_ED25519_PUBLIC_KEY
    "5ded8249fa9d49b4848a5ca5988df1df5636f47aaaabc5f6e9848f1b8b3f94f5")
set(INSTALLER_DEV_LEGACY_PUBLIC_KEY
    "5dd6d85d4f596860d7685c488559f44b9bb2ab63645b6b261fbb677a76b1cf68")

set(INSTALLER_ED25519_PUBLIC_KEY "${INSTALLER_DEV_ED25519_PUBLIC_KEY}"
    CACHE STRING "Ed25519 public key: 64 hex digits or a .pub file of pkgtool keygen")
set(INSTALLER_LEGACY_PUBLIC_KEY "${INSTALLER_DEV_LEGACY_PUBLIC_KEY}"
    CACHE STRING
    "Legacy public key: 64 hex digits, a .pub file of pkgtool keygen, or none (scheme off)")

# Sets OUT to the 64 lower-case hex digits of the key VALUE names, or stops
# the configuration with a message naming VARIABLE.
function(installer_key_hex variable kind value out)
  set(text "${value}")
  if(NOT text MATCHES "^[0-9A-Fa-f]+$")
    if(NOT EXISTS "${text}")
      message(FATAL_ERROR "${variable}: \"${value}\" is neither 64 hex digits nor a key file")
    endif()
    file(READ "${text}" text)
    string(STRIP "${text}" text)
    if(text MATCHES "^([a-z0-9-]+)[ \t]+([^ \t\r\n]+)$")
      if(NOT CMAKE_MATCH_1 STREQUAL "${kind}")
        message(FATAL_ERROR "${variable}: ${value} holds a ${CMAKE_MATCH_1} key where a "
                            "${kind} key is needed")
      endif()
      set(text "${CMAKE_MATCH_2}")
    endif()
  endif()
  string(LENGTH "${text}" length)
  if(NOT length EQUAL 64 OR NOT text MATCHES "^[0-9A-Fa-f]+$")
    message(FATAL_ERROR "${variable}: \"${value}\" does not hold a key of 64 hex digits")
  endif()
  string(TOLOWER "${text}" text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

installer_key_hex(INSTALLER_ED25519_PUBLIC_KEY ed25519-public "${INSTALLER_ED25519_PUBLIC_KEY}"
                  INSTALLER_ED25519_KEY_HEX)
set(INSTALLER_LEGACY_SCHEME ON)
if(INSTALLER_LEGACY_PUBLIC_KEY STREQUAL "none")
  set(INSTALLER_LEGACY_SCHEME OFF)
  set(INSTALLER_LEGACY_KEY_HEX "")
else()
  installer_key_hex(INSTALLER_LEGACY_PUBLIC_KEY legacy-public "${INSTALLER_LEGACY_PUBLIC_KEY}"
                    INSTALLER_LEGACY_KEY_HEX)
endif()

set(dev_ed25519 OFF)
set(dev_legacy OFF)
if(INSTALLER_ED25519_KEY_HEX STREQUAL INSTALLER_DEV_ED25519_PUBLIC_KEY)
  set(dev_ed25519 ON)
endif()
if(INSTALLER_LEGACY_KEY_HEX STREQUAL INSTALLER_DEV_LEGACY_PUBLIC_KEY)
  set(dev_legacy ON)
endif()
if(dev_legacy AND NOT dev_ed25519)
  message(FATAL_ERROR
          "INSTALLER_ED25519_PUBLIC_KEY is your own key, but INSTALLER_LEGACY_PUBLIC_KEY is still "
          "the development key, whose secret is published: such an installer would accept any "
          "package named \"branding\" or of an older version that the development key signs. "
          "Set INSTALLER_LEGACY_PUBLIC_KEY to your own legacy key, or to none to switch the "
          "older scheme off.")
endif()
if(dev_ed25519 AND INSTALLER_LEGACY_SCHEME AND NOT dev_legacy)
  message(FATAL_ERROR
          "INSTALLER_LEGACY_PUBLIC_KEY is your own key, but INSTALLER_ED25519_PUBLIC_KEY is still "
          "the development key, whose secret is published: such an installer would accept any "
          "package the development key signs. Set INSTALLER_ED25519_PUBLIC_KEY to your own key.")
endif()
if(dev_ed25519 OR dev_legacy)
  message(WARNING
          "This installer trusts the development keys, whose secrets are published with the "
          "tests: it installs packages anyone can sign. For a release set "
          "INSTALLER_ED25519_PUBLIC_KEY and INSTALLER_LEGACY_PUBLIC_KEY (or none) to your own "
          "keys (pkgtool keygen writes them).")
endif()
