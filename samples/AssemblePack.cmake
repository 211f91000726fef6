# Lays out the sample service pack and the product tree it applies to from the build's outputs:
#   cmake -DSOURCE=samples -DBINARY=bin -DOUTPUT=bin/samples -P AssemblePack.cmake
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
