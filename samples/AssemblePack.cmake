# Lays out the sample service pack and the product tree it applies to from the build's outputs:
#   cmake -DSOURCE=samples -DBINARY=bin -DOUTPUT=bin/samples -P AssemblePack.cmake
if(NOT DEFINED KIT)
file(REMOVE_RECURSE ${OUTPUT}/SP2 ${OUTPUT}/product)
file(COPY ${SOURCE}/SP2/ DESTINATION ${OUTPUT}/SP2)
foreach(name actionhost.exe patchstarter.exe HVPatch.exe stockactions.dll serveractions.dll
        dbghelp.dll fleetkit.dll)
    file(COPY ${BINARY}/${name} DESTINATION ${OUTPUT}/SP2)
endforeach()
file(COPY ${BINARY}/product-sp2/prvlcore.dll DESTINATION ${OUTPUT}/SP2/Files/bin)
file(COPY ${SOURCE}/product/ DESTINATION ${OUTPUT}/product)
file(COPY ${BINARY}/product-base/prvlcore.dll DESTINATION ${OUTPUT}/product/bin)
# The product's scan settings come read-only, as its set-up leaves them.
file(CHMOD ${OUTPUT}/product/config/scan.xml PERMISSIONS OWNER_READ GROUP_READ WORLD_READ)
endif()

# The deployment kit that the front ends take as their package folder: the agent and its
# bootstrap, the backend, the texts and what the pack applies to, and one branch a platform
# holding the pack and the probe.
if(DEFINED KIT)
    file(REMOVE_RECURSE ${OUTPUT}/Deploy)
    file(COPY ${SOURCE}/kit/ DESTINATION ${OUTPUT}/Deploy)
    foreach(name Setup.exe agenthost.exe fleetkit.dll rolloutengine.dll rolloutcli.exe)
        file(COPY ${BINARY}/${name} DESTINATION ${OUTPUT}/Deploy)
    endforeach()
    foreach(branch x64 win32)
        file(COPY ${OUTPUT}/SP2/ DESTINATION ${OUTPUT}/Deploy/${branch})
        foreach(name probeinvoker.exe probestub.dll)
            file(COPY ${BINARY}/${name} DESTINATION ${OUTPUT}/Deploy/${branch})
        endforeach()
    endforeach()
endif()
