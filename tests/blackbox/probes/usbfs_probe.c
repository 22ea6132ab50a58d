#include <stdio.h>
#include <fcntl.h>
#include <unistd.h>
#include <errno.h>
#include <string.h>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
int main(int argc,char**argv){
  int fd=open(argv[1],O_RDWR);
  printf("open %d errno %d\n",fd,errno);
  if(fd<0) return 1;
  unsigned char buf[256]; memset(buf,0xEE,sizeof buf);
  struct usbdevfs_ctrltransfer c={0x80,6,0x0100,0,18,1000,buf};
  int r=ioctl(fd,USBDEVFS_CONTROL,&c);
  printf("GET_DESCRIPTOR dev r=%d errno=%d len=%d vid=%02x%02x\n",r,errno,buf[0],buf[9],buf[8]);
  c.wValue=0x0302; c.wIndex=0x0409; c.wLength=255; memset(buf,0xEE,sizeof buf);
  r=ioctl(fd,USBDEVFS_CONTROL,&c);
  printf("string r=%d errno=%d bLength=%d type=%d\n",r,errno,buf[0],buf[1]);
  c.wValue=0x0307; r=ioctl(fd,USBDEVFS_CONTROL,&c);
  printf("bad string r=%d errno=%d\n",r,errno);
  printf("sizeof %zu req %lx\n",sizeof c,(unsigned long)USBDEVFS_CONTROL);
  return 0;
}
